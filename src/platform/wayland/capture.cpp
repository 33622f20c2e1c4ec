// The capture's tries, the same for every protocol: each asks every output
// at once for its buffer, makes the pool, and asks for the copies. A frame
// fails when its output changes meanwhile (a new mode): it is asked again,
// after a short wait that grows, all within the one time limit, so that a
// compositor that fails every frame gets some hundred tries, not thousands.
#include <wayland-client.h>

#include <cstdint>

#include "clock.h"
#include "wayland.h"
#include "why.h"

namespace {

// The longest wait between two tries; the first tries wait less.
const int kRetryMs = 50;

bool Copied(const Output &o) { return o.ready; }

// A frame of an output still there failed: worth another try.
bool AnyFailed(const WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i)
    if (d->outputs[i]->failed && !d->outputs[i]->gone) return true;
  return false;
}

// Some output is still there: a capture of none is no picture.
bool AnyShown(const WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i)
    if (!d->outputs[i]->gone) return true;
  return false;
}

// A buffer that no output of its mode could fill is not asked for: it
// would cost memory and time for nothing the screen shows. Notes why not.
bool BuffersFit(const WaylandDisplay *d) {
  for (int i = 0; i < d->nOutputs; ++i) {
    const Output &o = *d->outputs[i];
    if (o.gone) continue;
    if (!o.buffer.readable) {
      NoteWhyAbout("%s offers an output's pixels in no format that can be read",
                   d->name);
      return false;
    }
    if (BufferFitsOutput(o.place, o.buffer.width, o.buffer.height)) continue;
    NoteWhyAbout(
        "%s: the compositor asks for a %u x %u buffer for a %d x %d output",
        d->name, o.buffer.width, o.buffer.height, o.place.modeW, o.place.modeH);
    return false;
  }
  return true;
}

enum Try { kCopiedAll, kFailedFrame, kGivenUp };

// A wait that ended with no frame failed: the connection broke, or the
// compositor let the time pass.
Try Unanswered(const WaylandDisplay *d) {
  if (AnyFailed(d)) return kFailedFrame;
  if (wl_display_get_error(d->display))
    NoteWhyAbout("%s: the connection broke during the capture", d->name);
  else
    NoteWhyAbout("%s: the capture did not finish within %d s", d->name,
                 kWaylandTimeoutMs / 1000);
  return kGivenUp;
}

Try TryOnce(WaylandDisplay *d, WaylandBitmap *bm, const CaptureProtocol &p,
            uint64_t deadline) {
  for (int i = 0; i < d->nOutputs; ++i) {
    Output *o = d->outputs[i];
    o->ready = o->failed = false;
    o->buffer.transform = o->place.transform;
    o->buffer.yInvert = false;
    if (!o->gone) p.Ask(o);
  }
  if (!WaitForOutputs(d, p.Told, deadline)) return Unanswered(d);
  for (int i = 0; p.Take && i < d->nOutputs; ++i)
    if (!d->outputs[i]->gone) p.Take(d->outputs[i]);
  if (!BuffersFit(d)) return kGivenUp;
  if (!MakePool(d, bm)) {
    NoteWhyAbout("%s: no shared memory for the outputs' buffers", d->name);
    return kGivenUp;
  }
  for (int i = 0; i < d->nOutputs; ++i)
    if (!d->outputs[i]->gone) p.Copy(d->outputs[i]);
  FillPool(d, bm);
  return WaitForOutputs(d, Copied, deadline) ? kCopiedAll : Unanswered(d);
}

}  // namespace

bool CaptureOutputs(void *pDisplay, void *pBitmap, int x, int y,
                    const CaptureProtocol &p) {
  WaylandDisplay *d = static_cast<WaylandDisplay *>(pDisplay);
  WaylandBitmap *bm = static_cast<WaylandBitmap *>(pBitmap);
  bm->x = x;
  bm->y = y;
  if (p.Start && !p.Start(d)) return false;
  uint64_t deadline = NowUs() + uint64_t(kWaylandTimeoutMs) * 1000;
  for (int tries = 1;; ++tries) {
    Try t = TryOnce(d, bm, p, deadline);
    if (t == kCopiedAll) return AnyShown(d);
    if (t == kGivenUp) return false;
    SleepMs(tries < kRetryMs / 2 ? 2 * tries : kRetryMs, deadline);
    if (NowUs() >= deadline) {
      NoteWhyAbout("%s: every frame failed for %d s", d->name,
                   kWaylandTimeoutMs / 1000);
      return false;
    }
  }
}
