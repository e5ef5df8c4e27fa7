// The two line-end conversions on a 64 MB text of 80-character lines, beside memcpy of the
// same bytes and beside dos2unix/unix2dos converting the same text as files; and a 10 MiB
// clipboard text on its way to the handheld in 1251 and 932 beside 1252. Every converter's
// output is checked against ours (glibc's iconv for the code pages) before anything is timed.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/text/desktoptext.h"
#include "transfer/transfer.h"

extern char** environ;

namespace {

const size_t LINE_LENGTH = 80;
const size_t TEXT_SIZE = 64u << 20;  // of the CR LF form

struct Texts {
  std::string crlf;  // lines ending CR LF, as on the clipboard
  std::string lf;    // the same lines ending LF, as on the wire
  std::string crlfPath, lfPath, outPath;
};

Texts& Shared() {
  static Texts texts;
  return texts;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}

// Runs argv to its end; true when it exited with 0.
bool Run(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()),
                   environ) != 0) {
    return false;
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Strip(const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  StripCarriageReturns(copy.data());
  return copy.data();
}

std::string Expand(const std::string& text) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
  memcpy(GlobalLock(block), text.c_str(), text.size() + 1);
  GlobalUnlock(block);
  block = ExpandLineFeeds(block);
  std::string result = (const char*)GlobalLock(block);
  GlobalUnlock(block);
  GlobalFree(block);
  return result;
}

// Builds the texts and their files, and checks that all four converters agree.
bool Prepare(const std::string& folder) {
  Texts& t = Shared();
  uint32_t seed = 12345;
  while (t.crlf.size() + LINE_LENGTH + 2 <= TEXT_SIZE) {
    for (size_t i = 0; i < LINE_LENGTH; ++i) {
      seed = seed * 1103515245u + 12345u;
      unsigned pick = (seed >> 16) % 64;
      t.crlf.push_back(pick < 10 ? ' ' : (char)('!' + pick));
    }
    t.crlf += "\r\n";
  }
  t.lf.reserve(t.crlf.size());
  for (char c : t.crlf) {
    if (c != '\r') t.lf.push_back(c);
  }
  t.crlfPath = folder + "/bench-dos.txt";
  t.lfPath = folder + "/bench-unix.txt";
  t.outPath = folder + "/bench-out.txt";
  WriteWhole(t.crlfPath, t.crlf);
  WriteWhole(t.lfPath, t.lf);

  bool agree = true;
  if (Strip(t.crlf) != t.lf) {
    fprintf(stderr, "StripCarriageReturns does not give the LF text\n");
    agree = false;
  }
  if (Expand(t.lf) != t.crlf) {
    fprintf(stderr, "ExpandLineFeeds does not give the CR LF text\n");
    agree = false;
  }
  if (!Run({"dos2unix", "-q", "-n", t.crlfPath.c_str(), t.outPath.c_str()}) ||
      ReadWhole(t.outPath) != t.lf) {
    fprintf(stderr, "dos2unix did not give the LF text\n");
    agree = false;
  }
  if (!Run({"unix2dos", "-q", "-n", t.lfPath.c_str(), t.outPath.c_str()}) ||
      ReadWhole(t.outPath) != t.crlf) {
    fprintf(stderr, "unix2dos did not give the CR LF text\n");
    agree = false;
  }
  return agree;
}

void BM_StripCarriageReturns(benchmark::State& state) {
  const std::string& crlf = Shared().crlf;
  std::vector<char> text(crlf.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(text.data(), crlf.c_str(), crlf.size() + 1);
    state.ResumeTiming();
    StripCarriageReturns(text.data());
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)crlf.size());
}

// Frees a block; with fresh set, also gives the freed memory back to the system, so that
// the next block's pages are touched for the first time inside the timed call.
void Release(HGLOBAL block, bool fresh) {
  GlobalFree(block);
  if (fresh) malloc_trim(0);
}

// range(0) 0: the new block comes from memory the process already has, as memcpy's
// destination does; 1: from fresh pages, whose first touch is then part of the cost.
void BM_ExpandLineFeeds(benchmark::State& state) {
  const std::string& lf = Shared().lf;
  bool fresh = state.range(0) == 1;
  for (auto _ : state) {
    state.PauseTiming();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, lf.size() + 1);
    memcpy(GlobalLock(block), lf.c_str(), lf.size() + 1);
    GlobalUnlock(block);
    state.ResumeTiming();
    HGLOBAL expanded = ExpandLineFeeds(block);
    state.PauseTiming();
    Release(expanded, fresh);
    state.ResumeTiming();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)lf.size());
}

// memcpy of the LF text into a new block of fresh pages: the peer of the fresh case.
void BM_MemcpyFresh(benchmark::State& state) {
  const std::string& lf = Shared().lf;
  for (auto _ : state) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, lf.size() + 1);
    char* to = (char*)GlobalLock(block);
    memcpy(to, lf.c_str(), lf.size() + 1);
    benchmark::DoNotOptimize(to);
    GlobalUnlock(block);
    state.PauseTiming();
    Release(block, true);
    state.ResumeTiming();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)lf.size());
}

// memcpy of the bytes a conversion reads: range(0) 0 for the CR LF text, 1 for the LF one.
void BM_Memcpy(benchmark::State& state) {
  const std::string& from = state.range(0) == 0 ? Shared().crlf : Shared().lf;
  std::vector<char> to(from.size());
  memcpy(to.data(), from.data(), from.size());  // fault the pages in
  for (auto _ : state) {
    memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)from.size());
}

// The same conversion by the tool people use, file to file (the files stay in the page
// cache): range(0) 0 for dos2unix, 1 for unix2dos.
void BM_Tool(benchmark::State& state) {
  const Texts& t = Shared();
  bool toLf = state.range(0) == 0;
  const std::string& in = toLf ? t.crlfPath : t.lfPath;
  for (auto _ : state) {
    if (!Run({toLf ? "dos2unix" : "unix2dos", "-q", "-n", in.c_str(), t.outPath.c_str()})) {
      state.SkipWithError("the tool failed");
      break;
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() *
                          (int64_t)(toLf ? t.crlf.size() : t.lf.size()));
}

// ---- Code pages -------------------------------------------------------------------------

const size_t CLIPBOARD_SIZE = 10u << 20;  // of the desktop's UTF-8

struct CodePageText {
  unsigned codePage;
  std::string text;     // CF_TEXT: the code page's bytes, CR LF line ends
  std::string desktop;  // the same as UTF-8 with LF
};

CodePageText CODE_PAGE_TEXTS[] = {{1252, "", ""}, {1251, "", ""}, {932, "", ""}};

// One random character of the code page's language: Latin letters with accents, euro sign
// and quotes; Cyrillic letters; kanji of JIS level 1 and hiragana. One in eight a space.
void AppendCharacter(unsigned codePage, uint32_t random, std::string* text) {
  if (random % 8 == 0) {
    *text += ' ';
  } else if (codePage == 1252) {
    static const char EXTRA[] = "\xE9\xE8\xE0\xFC\xF6\xDF\xE7\x80\x92\x93\x94";
    *text += random % 5 == 0 ? EXTRA[random / 8 % 11] : (char)('a' + random / 8 % 26);
  } else if (codePage == 1251) {
    *text += (char)(0xC0 + random / 8 % 64);
  } else if (random % 4 == 0) {
    *text += '\x82';
    *text += (char)(0x9F + random / 8 % 83);  // hiragana
  } else {
    *text += (char)(0x88 + random / 8 % 16);
    *text += (char)(0x9F + random / 1024 % 94);
  }
}

// glibc's reading of the text, line ends left as they are.
std::string Iconv(unsigned codePage, const std::string& text) {
  std::string name = "CP" + std::to_string(codePage);
  iconv_t converter = iconv_open("UTF-8", name.c_str());
  if (converter == (iconv_t)-1) return "";
  std::string out(text.size() * 3, '\0');
  char* in = const_cast<char*>(text.data());
  char* to = &out[0];
  size_t inLeft = text.size(), outLeft = out.size();
  size_t result = iconv(converter, &in, &inLeft, &to, &outLeft);
  iconv_close(converter);
  out.resize(result == (size_t)-1 ? 0 : out.size() - outLeft);
  return out;
}

std::string Translated(Translation translation, const std::string& input) {
  std::string out(translation(input.data(), input.size(), nullptr), '\0');
  translation(input.data(), input.size(), &out[0]);
  return out;
}

bool PrepareCodePages() {
  bool agree = true;
  for (CodePageText& t : CODE_PAGE_TEXTS) {
    uint32_t seed = 12345;
    size_t desktopSize = 0;
    UseCodePage(t.codePage);
    while (desktopSize < CLIPBOARD_SIZE) {
      std::string line;
      for (size_t i = 0; i < LINE_LENGTH; ++i) {
        seed = seed * 1103515245u + 12345u;
        AppendCharacter(t.codePage, seed >> 8, &line);
      }
      line += "\r\n";
      desktopSize += TextToUtf8(line.data(), line.size(), nullptr);
      t.text += line;
    }
    t.desktop = Translated(TextToUtf8, t.text);
    std::string glibc = Iconv(t.codePage, Strip(t.text));
    if (t.desktop != glibc || Translated(Utf8ToText, t.desktop) != t.text) {
      fprintf(stderr, "the %u text does not read as glibc reads it, or does not come back\n",
              t.codePage);
      agree = false;
    }
  }
  return agree;
}

// range(0): index into CODE_PAGE_TEXTS. Counts, then writes, as the clipboard does.
void BM_ToHandheld(benchmark::State& state) {
  const CodePageText& t = CODE_PAGE_TEXTS[state.range(0)];
  UseCodePage(t.codePage);
  std::vector<char> text(t.text.size() + 1);
  for (auto _ : state) {
    size_t size = Utf8ToText(t.desktop.data(), t.desktop.size(), nullptr);
    Utf8ToText(t.desktop.data(), t.desktop.size(), text.data());
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::to_string(t.codePage));
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)t.desktop.size());
}

}  // namespace

BENCHMARK(BM_ToHandheld)->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StripCarriageReturns)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tool)->Arg(0)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandLineFeeds)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tool)->Arg(1)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandLineFeeds)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyFresh)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Blocks of this size come from the heap, not from a mapping of their own, so that a
  // freed block's memory stays with the process until Release gives it back.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const char* folder = getenv("TMPDIR");
  if (!Prepare(folder ? folder : "/tmp") || !PrepareCodePages()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(Shared().crlfPath.c_str());
  unlink(Shared().lfPath.c_str());
  unlink(Shared().outPath.c_str());
  return 0;
}
