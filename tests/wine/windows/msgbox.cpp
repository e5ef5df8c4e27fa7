// Test helper: finds the message box captioned "Quillet", reports its text and icon, and
// presses its OK button.
//   msgbox [--keep] [wait-ms]
// Waits up to wait-ms (default 5000) for the box. Prints one line, "<icon> <text>", the
// icon one of error, warning, information, question, none, unknown, the text with \n, \r,
// \\ and non-printable bytes escaped; then presses OK (unless --keep) and waits for the box
// to go. Exit code 0, or 1 when no box appeared in time.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ICON_SIZE 32
#define TEXT_ID 0xFFFF  // the box's text: a static control with id 65535

struct Pixels {
  COLORREF at[ICON_SIZE][ICON_SIZE];
};

static HWND FindBox(void) {
  HWND box = FindWindowA("#32770", "Quillet");
  return box && IsWindowVisible(box) ? box : nullptr;
}

struct IconSearch {
  HWND icon;
};

static BOOL CALLBACK FindIconControl(HWND child, LPARAM context) {
  char className[32];
  GetClassNameA(child, className, sizeof className);
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if (lstrcmpiA(className, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
      IsWindowVisible(child)) {
    ((IconSearch*)context)->icon = child;
    return FALSE;
  }
  return TRUE;
}

// Paints a fresh icon-sized bitmap with paint and reads its pixels back.
typedef void (*Painter)(HDC screen, HDC memory, const void* context);
static void Render(Painter paint, const void* context, Pixels* out) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, ICON_SIZE, ICON_SIZE);
  HGDIOBJ old = SelectObject(memory, bitmap);
  paint(screen, memory, context);
  for (int y = 0; y < ICON_SIZE; ++y) {
    for (int x = 0; x < ICON_SIZE; ++x) out->at[y][x] = GetPixel(memory, x, y);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// The icon control's pixels as the screen shows them.
static void CopyFromScreen(HDC screen, HDC memory, const void* context) {
  const RECT* rect = (const RECT*)context;
  BitBlt(memory, 0, 0, ICON_SIZE, ICON_SIZE, screen, rect->left, rect->top, SRCCOPY);
}

struct StockIcon {
  LPCSTR id;
  COLORREF background;
};

// A stock icon drawn as the box draws it, on the given background.
static void DrawStock(HDC, HDC memory, const void* context) {
  const StockIcon* icon = (const StockIcon*)context;
  HBRUSH brush = CreateSolidBrush(icon->background);
  RECT all = {0, 0, ICON_SIZE, ICON_SIZE};
  FillRect(memory, &all, brush);
  DeleteObject(brush);
  DrawIconEx(memory, 0, 0, LoadIconA(nullptr, icon->id), 0, 0, 0, nullptr, DI_NORMAL);
}

static int Differences(const Pixels* a, const Pixels* b) {
  int count = 0;
  for (int y = 0; y < ICON_SIZE; ++y) {
    for (int x = 0; x < ICON_SIZE; ++x) count += a->at[y][x] != b->at[y][x];
  }
  return count;
}

// Which stock icon the box shows; the box may still be painting, so look a few times.
static const char* IdentifyIcon(HWND box) {
  IconSearch search = {nullptr};
  EnumChildWindows(box, FindIconControl, (LPARAM)&search);
  if (search.icon == nullptr) return "none";
  static const struct {
    LPCSTR id;
    const char* name;
  } stock[] = {{IDI_HAND, "error"},
               {IDI_EXCLAMATION, "warning"},
               {IDI_ASTERISK, "information"},
               {IDI_QUESTION, "question"}};
  RECT rect;
  if (!GetWindowRect(search.icon, &rect)) return "unknown";
  for (int attempt = 0; attempt < 20; ++attempt) {
    Pixels shown;
    Render(CopyFromScreen, &rect, &shown);
    for (const auto& candidate : stock) {
      StockIcon icon = {candidate.id, shown.at[0][0]};  // corners show the background
      Pixels drawn;
      Render(DrawStock, &icon, &drawn);
      if (Differences(&shown, &drawn) == 0) return candidate.name;
    }
    Sleep(100);
  }
  return "unknown";
}

static void PrintEscaped(const char* text) {
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
    if (*p == '\n') {
      fputs("\\n", stdout);
    } else if (*p == '\r') {
      fputs("\\r", stdout);
    } else if (*p == '\\') {
      fputs("\\\\", stdout);
    } else if (*p < 0x20 || *p >= 0x7F) {
      printf("\\x%02X", *p);
    } else {
      fputc(*p, stdout);
    }
  }
}

int main(int argc, char** argv) {
  bool keep = argc > 1 && strcmp(argv[1], "--keep") == 0;
  DWORD wait = argc > 1 + keep ? (DWORD)atol(argv[1 + keep]) : 5000;
  HWND box = nullptr;
  DWORD start = GetTickCount();
  while ((box = FindBox()) == nullptr && GetTickCount() - start < wait) Sleep(20);
  if (box == nullptr) {
    puts("no box");
    return 1;
  }
  char text[1024] = "";
  GetDlgItemTextA(box, TEXT_ID, text, sizeof text);
  printf("%s ", IdentifyIcon(box));
  PrintEscaped(text);
  putchar('\n');
  fflush(stdout);
  if (keep) return 0;
  SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  start = GetTickCount();
  while (IsWindow(box) && GetTickCount() - start < 5000) Sleep(20);
  return 0;
}
