#include "notice/notice.h"

#include "platform.h"

void ReportError(const char *szText) {
  MessageBoxA(NULL, szText, "Error", MB_OK);
}
