#include "why.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const int kMaxLines = 8;

struct Line {
  char text[512];
  bool always;
};

Line g_lines[kMaxLines];
int g_nLines = 0;
const char *g_system = nullptr;

void Note(bool prefixed, bool always, const char *pszFormat, va_list args) {
  if (g_nLines == kMaxLines) return;
  Line &line = g_lines[g_nLines];
  size_t n = 0;
  if (prefixed && g_system)
    n = static_cast<size_t>(
        std::snprintf(line.text, sizeof line.text, "%s: ", g_system));
  if (n >= sizeof line.text) n = sizeof line.text - 1;
  std::vsnprintf(line.text + n, sizeof line.text - n, pszFormat, args);
  line.always = always;
  // Once is enough: two systems may meet the same cause.
  for (int i = 0; i < g_nLines; ++i)
    if (!std::strcmp(g_lines[i].text, line.text)) return;
  ++g_nLines;
}

}  // namespace

void SetWhySystem(const char *pszName) { g_system = pszName; }

void NoteWhy(const char *pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  Note(true, false, pszFormat, args);
  va_end(args);
}

void NoteWhyAbout(const char *pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  Note(false, false, pszFormat, args);
  va_end(args);
}

void NoteAlways(const char *pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  Note(true, true, pszFormat, args);
  va_end(args);
}

void TellWhy(bool fAll) {
  for (int i = 0; i < g_nLines; ++i)
    if (fAll || g_lines[i].always)
      std::fprintf(stderr, "tusak: %s\n", g_lines[i].text);
  g_nLines = 0;
}
