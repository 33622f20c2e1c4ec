#ifndef TUSAK_CAPTURE_REPORT_H
#define TUSAK_CAPTURE_REPORT_H

// Shows a modal "Error" box labelling the step that failed and returns when
// the user dismisses it; the caller always carries on with its next step.
void ReportError(const char *szText);

#endif
