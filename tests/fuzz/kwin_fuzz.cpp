// KWin as a hostile one may answer CaptureWorkspace: its reply (an error,
// or the results' keys and values of any type) and the pixels it writes
// into the pipe, before or after the reply, more or fewer than announced.
// A stand-in for sd-bus's table serves them from the fuzzer's bytes.
//
// Input: flags (1: an error reply, 6: which), the count of results, each a
// key, a type and a value (4 bytes, or a string's number), the pieces
// written before the reply, the stream's length (3 bytes, up to 2 MiB),
// the size of its pieces (a power of two), then the bytes it repeats.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "bytes.h"
#include "display.h"
#include "kwin.h"
#include "why.h"

namespace {

const char *const kKeys[] = {"type",   "width", "height",  "stride",
                             "format", "scale", "windowId"};
const char *const kStrings[] = {"raw", "png", ""};
const char *const kErrors[] = {"org.kde.KWin.ScreenShot2.Error.NoAuthorized",
                               "org.kde.KWin.ScreenShot2.Error.Cancelled",
                               "org.freedesktop.DBus.Error.ServiceUnknown",
                               "org.freedesktop.DBus.Error.NoReply"};
const char kTypes[] = "uisd";

struct Entry {
  const char *key;
  char type;
  uint32_t value;
};

// The reply, and the peer's side of the exchange.
struct Peer {
  bool error;
  sd_bus_error busError;
  Entry entries[8];
  int nEntries, level, at;  // where the reader is in the results
  sd_bus_message_handler_t callback;
  void *userdata;
  bool replied;
  int pieces, replyAfter;
  int fd;  // the pipe's write end, once handed over
  size_t total, written, piece;
  Bytes stream;
} g;

int g_busFd = -1;  // always readable: the loop never waits
char g_token;

sd_bus_message *Message() {
  return reinterpret_cast<sd_bus_message *>(&g_token);
}

int NewCall(sd_bus *, sd_bus_message **m, const char *, const char *,
            const char *, const char *) {
  *m = Message();
  return 0;
}

int Append(sd_bus_message *, const char *types, ...) {
  if (!std::strcmp(types, "h")) {
    va_list args;
    va_start(args, types);
    g.fd = dup(va_arg(args, int));
    va_end(args);
  }
  return 0;
}

int CallAsync(sd_bus *, sd_bus_slot **slot, sd_bus_message *,
              sd_bus_message_handler_t callback, void *userdata, uint64_t) {
  g.callback = callback;
  g.userdata = userdata;
  *slot = reinterpret_cast<sd_bus_slot *>(&g_token);
  return 0;
}

sd_bus_message *Unref(sd_bus_message *) { return nullptr; }
sd_bus_slot *UnrefSlot(sd_bus_slot *) { return nullptr; }
int Events(sd_bus *) { return POLLIN; }
int Fd(sd_bus *) { return g_busFd; }

// One step of the peer's: a piece of the stream, the reply, the pipe
// closed; 0 once it has done all.
int Process(sd_bus *, sd_bus_message **) {
  if (!g.replied && (g.pieces >= g.replyAfter || g.fd < 0)) {
    g.replied = true;
    g.callback(Message(), g.userdata, nullptr);
    return 1;
  }
  if (g.fd >= 0 && g.written < g.total) {
    BYTE chunk[1 << 16];
    size_t n = g.total - g.written < g.piece ? g.total - g.written : g.piece;
    if (n > sizeof chunk) n = sizeof chunk;
    Fill(g.stream, chunk, n);
    ssize_t r = write(g.fd, chunk, n);
    if (r <= 0) return 0;
    g.written += static_cast<size_t>(r);
    ++g.pieces;
    return 1;
  }
  if (g.fd >= 0) {
    close(g.fd);
    g.fd = -1;
    return 1;
  }
  return 0;
}

int IsError(sd_bus_message *, const char *) { return g.error; }
const sd_bus_error *Error(sd_bus_message *) { return &g.busError; }

int Enter(sd_bus_message *, char type, const char *) {
  if (type == 'a' && g.level == 0) return g.level = 1;
  if (type != 'e' || g.level != 1 || g.at == g.nEntries) return 0;
  g.level = 2;
  return 1;
}

int Exit(sd_bus_message *) {
  if (g.level == 2) ++g.at;
  if (g.level > 0) --g.level;
  return 1;
}

int Peek(sd_bus_message *, char *type, const char **contents) {
  if (g.level != 2) return 0;
  if (type) *type = 'v';
  static char one[2];
  one[0] = g.entries[g.at].type;
  *contents = one;
  return 1;
}

// "s": the key; "v" and a type: the value, if it is of that type.
int Read(sd_bus_message *, const char *types, ...) {
  if (g.level != 2) return -ENXIO;
  const Entry &e = g.entries[g.at];
  va_list args;
  va_start(args, types);
  int r = 1;
  if (!std::strcmp(types, "s")) {
    *va_arg(args, const char **) = e.key;
  } else if (!std::strcmp(types, "v")) {
    const char *want = va_arg(args, const char *);
    if (want[0] != e.type || want[1])
      r = -ENXIO;
    else if (e.type == 's')
      *va_arg(args, const char **) = kStrings[e.value % 3];
    else
      *va_arg(args, uint32_t *) = e.value;
  } else {
    r = -EINVAL;
  }
  va_end(args);
  return r;
}

int Skip(sd_bus_message *, const char *) { return 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  SdBus p = {};
  p.message_new_method_call = NewCall;
  p.message_append = Append;
  p.call_async = CallAsync;
  p.message_unref = Unref;
  p.slot_unref = UnrefSlot;
  p.get_events = Events;
  p.get_fd = Fd;
  p.process = Process;
  p.message_is_method_error = IsError;
  p.message_get_error = Error;
  p.message_enter_container = Enter;
  p.message_exit_container = Exit;
  p.message_peek_type = Peek;
  p.message_read = Read;
  p.message_skip = Skip;
  if (g_busFd < 0) g_busFd = eventfd(1, EFD_CLOEXEC);

  Bytes in = {data, size};
  g = Peer();
  g.fd = -1;
  uint32_t flags = Take(&in, 1);
  g.error = flags & 1;
  g.busError.name = kErrors[flags >> 1 & 3];
  g.nEntries = static_cast<int>(Take(&in, 1) % 9);
  for (int i = 0; i < g.nEntries; ++i) {
    Entry &e = g.entries[i];
    e.key = kKeys[Take(&in, 1) % 7];
    e.type = kTypes[Take(&in, 1) % 4];
    e.value = e.type == 's' ? Take(&in, 1) : Take(&in, 4);
  }
  g.replyAfter = static_cast<int>(Take(&in, 1));
  g.total = Take(&in, 3) % (size_t(2) << 20);
  // In no more than 256 writes: small pieces of a long stream cost the
  // fuzzer's time, not tusak's.
  g.piece = size_t(1) << (Take(&in, 1) % 17);
  if (g.piece < g.total / 256) g.piece = g.total / 256;
  g.stream = in;

  KWinDisplay d = {};
  if (CaptureKWin(p, nullptr, &d)) {
    size_t cbStride = static_cast<size_t>(d.width) * 4;
    BYTE *lines = static_cast<BYTE *>(std::malloc(cbStride * d.height));
    if (lines)
      g_kwinSystem.Fetch(&d, nullptr, 0, d.height, lines, cbStride, nullptr);
    std::free(lines);
  }
  if (d.pixels) munmap(d.pixels, d.cbMapped);
  if (g.fd >= 0) close(g.fd);
  TellWhy(false);
  return 0;
}
