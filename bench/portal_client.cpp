// The leanest desktop portal client for bench/portal_bench.sh: the
// Screenshot call (not interactive), its Response, the file it names read
// whole and removed. What any program that takes the portal's picture must
// do at the least; exits 1 if a step fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::string g_path;
static bool g_done;

static int OnResponse(sd_bus_message *m, void *, sd_bus_error *) {
  uint32_t response = 2;
  g_done = true;
  if (sd_bus_message_read(m, "u", &response) < 0 || response != 0) return 0;
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char *key = nullptr, *uri = nullptr;
    sd_bus_message_read(m, "s", &key);
    if (key && !std::strcmp(key, "uri") &&
        sd_bus_message_read(m, "v", "s", &uri) >= 0 &&
        !std::strncmp(uri, "file://", 7))
      for (const char *s = uri + 7; *s; ++s)  // percent-decoded
        if (*s == '%' && s[1] && s[2]) {
          g_path += static_cast<char>(
              std::strtol(std::string(s + 1, 2).c_str(), nullptr, 16));
          s += 2;
        } else {
          g_path += *s;
        }
    else
      sd_bus_message_skip(m, "v");
    sd_bus_message_exit_container(m);
  }
  return 0;
}

int main() {
  sd_bus *bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return 1;
  sd_bus_add_match(bus, nullptr,
                   "type='signal',interface='org.freedesktop.portal.Request',"
                   "member='Response'",
                   OnResponse, nullptr);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.portal.Desktop",
                         "/org/freedesktop/portal/desktop",
                         "org.freedesktop.portal.Screenshot", "Screenshot",
                         &error, &reply, "sa{sv}", "", 2, "handle_token", "s",
                         "bench", "interactive", "b", 0) < 0)
    return 1;
  while (!g_done)
    if (sd_bus_process(bus, nullptr) == 0 && sd_bus_wait(bus, 30000000) <= 0)
      return 1;
  int fd = open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  char *data = static_cast<char *>(std::malloc(st.st_size + 1));
  ssize_t got = 0, r;
  while (got < st.st_size && (r = read(fd, data + got, st.st_size - got)) > 0)
    got += r;
  close(fd);
  return got == st.st_size && unlink(g_path.c_str()) == 0 ? 0 : 1;
}
