// A fake of the platform subset that tusak's stages call: a virtual screen of
// a chosen size and depth, a log of every call in order, and failure on
// demand for any call whose result the stages test. Files are real files in
// the current directory, so independent readers can check them.
#ifndef TUSAK_TESTS_FAKE_FAKE_PLATFORM_H
#define TUSAK_TESTS_FAKE_FAKE_PLATFORM_H

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

struct FakeScreen {
  int width = 0;
  int height = 0;
  int planes = 1;
  int bitsPixel = 32;
  // Top row first. At 8 bits per pixel or fewer a palette index, else the
  // colour as 0xRRGGBB (at 16 bits only the top 5 bits of each channel count).
  std::vector<std::uint32_t> pixels;
  std::vector<std::uint32_t> palette;  // 0xRRGGBB, 2^bitsPixel entries
  // The display's scaling: a process that has not declared itself DPI aware
  // is told the size divided by it, while copies are in physical pixels.
  int scalePercent = 100;
};

struct FakePlatform {
  FakeScreen screen;
  // Calls that fail: "CreateCompatibleBitmap", "SelectObject", "BitBlt",
  // "GetObjectA", "LocalAlloc", "GlobalAlloc", "GetDIBits", "CreateFileA",
  // "WriteFile#1" to "WriteFile#3" (by order of the write), "CloseHandle",
  // "SetProcessDpiAwarenessContext", "SetProcessDPIAware";
  // "ShortWrite#1" to "#3" make that write succeed with half its bytes.
  std::set<std::string> failing;
  // The procedures that user32.dll has, as GetProcAddress finds them.
  std::set<std::string> user32Procs = {"SetProcessDpiAwarenessContext",
                                       "SetProcessDPIAware"};
  bool dpiAware = false;  // set by either procedure
  // When not negative, the fetch leaves this in biClrUsed, as some real
  // implementations clear it.
  long clrUsedAfterFetch = -1;
  // Called with each call's name before the call does its work.
  std::function<void(const std::string &)> onCall;

  std::vector<std::string> calls;    // "Name args", in order
  std::vector<std::string> notices;  // "caption: text" of each message box
  bool nullBufferWritten = false;    // WriteFile was handed a null buffer
};

extern FakePlatform g_fake;

// Starts afresh with this screen: forgets calls, failures and hooks and frees
// what the previous run left for the process's end.
void FakeReset(const FakeScreen &screen);

#endif
