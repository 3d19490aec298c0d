// Password input without echo and without leaving copies behind in stream buffers.
#include "tools/tool/password_input.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace halvern {

bool ReadPasswordLine(int fd, std::string& password) {
  if (!password.empty()) OPENSSL_cleanse(password.data(), password.size());
  password.clear();
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    password += c;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return any;
}

bool ReadPasswordFromTerminal(const std::string& prompt, std::string& password) {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return false;
  termios saved{};
  const bool isTerminal = tcgetattr(tty, &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  [[maybe_unused]] ssize_t ignored = write(tty, prompt.data(), prompt.size());
  const bool ok = ReadPasswordLine(tty, password);
  if (isTerminal) tcsetattr(tty, TCSAFLUSH, &saved);
  close(tty);
  return ok;
}

}  // namespace halvern
