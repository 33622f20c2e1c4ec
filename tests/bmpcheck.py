"""What every suite checks of a run of tusak, on any platform: the notices
it may show, the BMP headers it writes, and standard error free of any
sanitizer's report (the host build carries AddressSanitizer and UBSan)."""
import struct

# Every notice a run can show, in the order of the steps that show them:
# the grab, the record, the name, then the file's writes and its closing.
STEPS = ["hbmScreen", "Compatible Bitmap Selection",
         "Screen to Compat Blt Failed", "error", "GlobalAlloc", "GetDIBits",
         "CreateFile"] + ["error"] * 4
NOTICES = STEPS[:7]  # each text once
# A run with no bitmap: the grab's four, then the record's.
NO_BITMAP = STEPS[:4] + ["GetDIBits"]
# With no bitmap the record describes 0 x 0 pixels of depth 0, which rounds
# up to a 16-entry (zeroed) palette: a 118-byte file, header and record only.
EMPTY_BMP = (b"BM" + struct.pack("<IHHI", 118, 0, 0, 118) +
             struct.pack("<IiiHHIIiiII", 40, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0) +
             bytes(64))
# What the sanitizers' reports begin with.
SANITIZERS = ("runtime error:", "ERROR: AddressSanitizer",
              "ERROR: LeakSanitizer", "UndefinedBehaviorSanitizer")


def header_fault(data, w, h, bpp, length=None):
    """None if data begins with the headers of a bottom-up w x h BI_RGB
    bitmap of bpp bits per pixel, pixels right after the palette, as tusak
    writes them (and length, if given, is the size they give the file);
    else what is wrong."""
    if data[:2] != b"BM":
        return "no BM signature"
    size, r1, r2, off = struct.unpack_from("<IHHI", data, 2)
    (bi_size, bi_w, bi_h, planes, bits, comp, size_image, _, _, clr_used,
     _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    palette = clr_used or (1 << bits if bits <= 8 else 0)
    stride = (w * bpp + 31) // 32 * 4
    fields = [("bfReserved", (r1, r2), (0, 0)), ("biSize", bi_size, 40),
              ("size", (bi_w, bi_h), (w, h)), ("biPlanes", planes, 1),
              ("biBitCount", bits, bpp), ("biCompression", comp, 0),
              ("biSizeImage", size_image, stride * h),
              ("bfOffBits", off, 54 + 4 * palette),
              ("bfSize", size, off + size_image)]
    if length is not None:
        fields.append(("file length", length, size))
    for field, got, want in fields:
        if got != want:
            return "%s is %s, want %s" % (field, got, want)
    return None


def sanitizer_report(text):
    """The lines of a sanitizer's report in a run's standard error (text or
    bytes), joined; empty if there is none."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    lines = (text or "").splitlines()
    first = next((i for i, l in enumerate(lines)
                  if any(s in l for s in SANITIZERS)), None)
    return "" if first is None else "\n".join(lines[first:first + 20])
