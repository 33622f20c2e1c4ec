#ifndef TUSAK_NOTICE_NOTICE_H
#define TUSAK_NOTICE_NOTICE_H

// The one way every stage reports a failed step: a modal "Error" box with a
// short label of the step. Returns when the user dismisses it; the caller
// always carries on with its next step.
void ReportError(const char *szText);

#endif
