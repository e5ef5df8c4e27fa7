// handheld-sim: the handheld's side of the link protocol on any tty, for tests and demos.
// It speaks first, as the handheld does: "Mivra-P2H", the length and a text, or
// "Mivra-H2P" and then it reads the host's answer. Fault options bend the exchange.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const char USAGE[] =
    "Usage: handheld-sim [OPTION]... PATH\n"
    "Plays the handheld's side of Quillet's link protocol on the tty at PATH.\n"
    "\n"
    "What the handheld does (default: says nothing, so the host's read time-out runs):\n"
    "  --send TEXT          send TEXT to the host: \"Mivra-P2H\", its length as eleven\n"
    "                       digits, then TEXT\n"
    "  --send-file FILE     the same with the bytes of FILE (\"-\": standard input)\n"
    "  --receive            ask for the host's text with \"Mivra-H2P\" and write the text\n"
    "                       to standard output\n"
    "  --raw BYTES          send BYTES and nothing else (escapes: \\n \\r \\t \\0 \\\\ \\xHH)\n"
    "\n"
    "The link:\n"
    "  --pty                create a pseudo-terminal and place a symbolic link to its host\n"
    "                       side at PATH (folders are created, the link is removed at the\n"
    "                       end); speak once the host has opened it, and keep the link up\n"
    "                       until the host closes it\n"
    "  --baud RATE          line rate when PATH is a real tty (default 9600)\n"
    "  --timeout MS         longest wait for the host: to open the pty, to answer, to\n"
    "                       close (default 15000)\n"
    "\n"
    "Faults:\n"
    "  --word WORD          send WORD in place of the command word (alone: WORD only)\n"
    "  --length FIELD       send FIELD in place of the length field\n"
    "  --delay MS           wait MS before speaking\n"
    "  --gap MS             pause MS between two bytes\n"
    "  --pause-at N:MS      pause MS before byte N (counted from 0) of what is sent\n"
    "  --stop-after N       send only the first N bytes, then fall silent\n"
    "  --vanish-after N     send only the first N bytes, then drop the link at once\n"
    "\n"
    "  --quiet              no progress lines on standard error\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 done; 1 bad usage; 2 the link failed (cannot open, host never came);\n"
    "3 the host's answer was malformed, short or missing (--receive).\n";

const int LENGTH_FIELD = 11;
const long NO_LIMIT = -1;

struct Options {
  enum Mode { SILENT, SEND, RECEIVE, RAW } mode = SILENT;
  std::string path, payload, word, length;
  bool wordSet = false, lengthSet = false, pty = false, quiet = false;
  long baud = 9600, timeout = 15000, delay = 0, gap = 0;
  long pauseAt = -1, pauseFor = 0, stopAfter = -1, vanishAfter = -1;
};

Options options;
std::string linkPath;  // the link this run placed, removed on the way out

void Say(const char* format, const std::string& detail = "") {
  if (!options.quiet) fprintf(stderr, "handheld-sim: %s\n", (format + detail).c_str());
}

[[noreturn]] void Quit(int status, const char* message = nullptr, const std::string& d = "") {
  if (message != nullptr) fprintf(stderr, "handheld-sim: %s%s\n", message, d.c_str());
  if (!linkPath.empty()) unlink(linkPath.c_str());
  exit(status);
}

void OnSignal(int) {
  if (!linkPath.empty()) unlink(linkPath.c_str());
  _exit(2);
}

long Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void Pause(long ms) {
  if (ms > 0) usleep((useconds_t)ms * 1000);
}

long Number(const char* text) {
  char* end;
  long value = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 0) Quit(1, "not a number: ", text);
  return value;
}

std::string Unescape(const char* text) {
  std::string bytes;
  for (const char* c = text; *c; ++c) {
    if (*c != '\\' || c[1] == '\0') {
      bytes += *c;
      continue;
    }
    switch (*++c) {
      case 'n': bytes += '\n'; break;
      case 'r': bytes += '\r'; break;
      case 't': bytes += '\t'; break;
      case '0': bytes += '\0'; break;
      case 'x':
        if (isxdigit((unsigned char)c[1]) && isxdigit((unsigned char)c[2])) {
          bytes += (char)strtol(std::string(c + 1, 2).c_str(), nullptr, 16);
          c += 2;
          break;
        }
        Quit(1, "bad escape in: ", text);
      default: bytes += *c; break;
    }
  }
  return bytes;
}

std::string ReadAll(const char* file) {
  FILE* in = strcmp(file, "-") == 0 ? stdin : fopen(file, "rb");
  if (in == nullptr) Quit(1, "cannot read ", file);
  std::string bytes;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, in)) > 0;) bytes.append(chunk, got);
  if (in != stdin) fclose(in);
  return bytes;
}

void ParseArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Quit(1, "missing value for ", arg);
      return argv[++i];
    };
    if (arg == "--help") {
      fputs(USAGE, stdout);
      exit(0);
    } else if (arg == "--send") {
      options.mode = Options::SEND;
      options.payload = value();
    } else if (arg == "--send-file") {
      options.mode = Options::SEND;
      options.payload = ReadAll(value());
    } else if (arg == "--receive") {
      options.mode = Options::RECEIVE;
    } else if (arg == "--raw") {
      options.mode = Options::RAW;
      options.payload = Unescape(value());
    } else if (arg == "--pty") {
      options.pty = true;
    } else if (arg == "--baud") {
      options.baud = Number(value());
    } else if (arg == "--timeout") {
      options.timeout = Number(value());
    } else if (arg == "--word") {
      options.word = value();
      options.wordSet = true;
    } else if (arg == "--length") {
      options.length = value();
      options.lengthSet = true;
    } else if (arg == "--delay") {
      options.delay = Number(value());
    } else if (arg == "--gap") {
      options.gap = Number(value());
    } else if (arg == "--pause-at") {
      std::string spec = value();
      size_t colon = spec.find(':');
      if (colon == std::string::npos) Quit(1, "--pause-at wants N:MS, not ", spec);
      options.pauseAt = Number(spec.substr(0, colon).c_str());
      options.pauseFor = Number(spec.substr(colon + 1).c_str());
    } else if (arg == "--stop-after") {
      options.stopAfter = Number(value());
    } else if (arg == "--vanish-after") {
      options.vanishAfter = Number(value());
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      Quit(1, "unknown option ", arg + " (see --help)");
    } else if (options.path.empty()) {
      options.path = arg;
    } else {
      Quit(1, "one PATH only (see --help)");
    }
  }
  if (options.path.empty()) Quit(1, "no PATH given (see --help)");
}

speed_t SpeedOf(long baud) {
  switch (baud) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: Quit(1, "unsupported rate ", std::to_string(baud));
  }
}

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

// True once the host has the pty's other side open.
bool HostHasOpened(int master) {
  pollfd entry = {master, POLLIN, 0};
  return poll(&entry, 1, 0) >= 0 && !(entry.revents & POLLHUP);
}

int OpenPty() {
  int master, slave;
  char name[128];
  termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) Quit(2, "cannot create a pty");
  close(slave);  // the host opens it; while nobody does, the master reports a hang-up
  MakeFolders(options.path);
  struct stat info;
  if (lstat(options.path.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) Quit(2, "will not replace what is not a link: ", options.path);
    unlink(options.path.c_str());
  }
  if (symlink(name, options.path.c_str()) != 0) Quit(2, "cannot place the link ", options.path);
  linkPath = options.path;
  Say("pty ", std::string(name) + " linked at " + options.path + "; waiting for the host");
  long deadline = Now() + options.timeout;
  while (!HostHasOpened(master)) {
    if (Now() >= deadline) Quit(2, "the host never opened the port");
    Pause(10);
  }
  Say("host opened the port");
  return master;
}

int OpenTty() {
  int fd = open(options.path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) Quit(2, "cannot open ", options.path + ": " + strerror(errno));
  termios line;
  if (tcgetattr(fd, &line) == 0) {
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&line, SpeedOf(options.baud));
    tcsetattr(fd, TCSANOW, &line);
  }
  return fd;
}

// Sends bytes with the fault options applied; false when the link was dropped on purpose.
bool Send(int fd, const std::string& bytes) {
  long limit = (long)bytes.size();
  if (options.stopAfter >= 0 && options.stopAfter < limit) limit = options.stopAfter;
  if (options.vanishAfter >= 0 && options.vanishAfter < limit) limit = options.vanishAfter;
  bool oneByOne = options.gap > 0 || options.pauseAt >= 0;
  for (long sent = 0; sent < limit;) {
    if (sent == options.pauseAt) Pause(options.pauseFor);
    long chunk = oneByOne ? 1 : limit - sent;
    ssize_t done = write(fd, bytes.data() + sent, (size_t)chunk);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) Quit(2, "the link failed while sending: ", strerror(errno));
    sent += done;
    if (oneByOne && sent < limit) Pause(options.gap);
  }
  Say("sent ", std::to_string(limit) + " of " + std::to_string(bytes.size()) + " bytes");
  if (options.vanishAfter >= 0) {
    close(fd);
    Say("dropped the link");
    return false;
  }
  return true;
}

// Reads up to n bytes until they are in, the host closes, or the time-out passes.
std::string Receive(int fd, size_t n) {
  std::string bytes;
  long deadline = Now() + options.timeout;
  while (bytes.size() < n) {
    long left = deadline - Now();
    if (left <= 0) break;
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, (int)left) <= 0) continue;
    char chunk[4096];
    size_t want = n - bytes.size() < sizeof chunk ? n - bytes.size() : sizeof chunk;
    ssize_t got = read(fd, chunk, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EIO on a pty: the host closed its side
    bytes.append(chunk, (size_t)got);
  }
  return bytes;
}

// Keeps the link up until the host closes it (a pty drops unread bytes when its master
// goes first) or the time-out passes; reports anything the host sends meanwhile.
void Linger(int fd) {
  size_t unexpected = Receive(fd, (size_t)-1).size();
  if (unexpected > 0) Say("the host sent bytes nobody asked for: ", std::to_string(unexpected));
  Say("done");
}

void ReceiveText(int fd) {
  std::string field = Receive(fd, LENGTH_FIELD);
  if (field.empty()) Quit(3, "no answer from the host");
  if (field.size() < LENGTH_FIELD) Quit(3, "length field cut short: ", field);
  for (char c : field) {
    if (c < '0' || c > '9') Quit(3, "length field is not eleven digits: ", field);
  }
  size_t length = (size_t)strtoull(field.c_str(), nullptr, 10);
  std::string text = Receive(fd, length);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  if (text.size() < length) {
    Quit(3, "text cut short: ", std::to_string(text.size()) + " of " + std::to_string(length));
  }
  Say("received ", std::to_string(length) + " bytes");
}

}  // namespace

int main(int argc, char** argv) {
  ParseArguments(argc, argv);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  int fd = options.pty ? OpenPty() : OpenTty();
  Pause(options.delay);

  std::string message;
  switch (options.mode) {
    case Options::SILENT: message = options.word; break;  // a command word alone, if any
    case Options::RAW: message = options.payload; break;
    case Options::SEND: {
      char field[32];
      snprintf(field, sizeof field, "%011lu", (unsigned long)options.payload.size());
      message = (options.wordSet ? options.word : "Mivra-P2H") +
                (options.lengthSet ? options.length : std::string(field)) + options.payload;
      break;
    }
    case Options::RECEIVE: message = options.wordSet ? options.word : "Mivra-H2P"; break;
  }
  if (!Send(fd, message)) Quit(0);
  if (options.mode == Options::RECEIVE && options.stopAfter < 0) {
    ReceiveText(fd);  // ends the run itself when the answer is wrong
  } else {
    Linger(fd);
  }
  close(fd);
  Quit(0);
}
