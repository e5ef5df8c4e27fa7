// Test helper: finds the message box captioned "Quillet", reports its text and icon, and
// presses its OK button.
//   msgbox [--keep] [wait-ms]
// Waits up to wait-ms (default 5000) for the box. Prints one line, "<icon> <text>", the
// icon one of error, warning, information, question, none, unknown, the text's bytes in
// hex; then presses OK (unless --keep) and waits for the box to go. Exit code 0, or 1 when
// no box appeared in time.
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

// An icon-sized picture: the screen at from, or (from null) the stock icon id drawn as the
// box draws it, on background.
static void Render(const RECT* from, LPCSTR id, COLORREF background, Pixels* out) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, ICON_SIZE, ICON_SIZE);
  HGDIOBJ old = SelectObject(memory, bitmap);
  if (from != nullptr) {
    BitBlt(memory, 0, 0, ICON_SIZE, ICON_SIZE, screen, from->left, from->top, SRCCOPY);
  } else {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, ICON_SIZE, ICON_SIZE};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, id), 0, 0, 0, nullptr, DI_NORMAL);
  }
  for (int y = 0; y < ICON_SIZE; ++y) {
    for (int x = 0; x < ICON_SIZE; ++x) out->at[y][x] = GetPixel(memory, x, y);
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// Which stock icon the box shows; the box may still be painting, so look a few times.
static const char* IdentifyIcon(HWND box) {
  HWND icon = nullptr;  // the visible static control that shows an icon
  while ((icon = FindWindowExA(box, icon, "Static", nullptr)) != nullptr &&
         ((GetWindowLongA(icon, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || !IsWindowVisible(icon))) {
  }
  if (icon == nullptr) return "none";
  static const struct {
    LPCSTR id;
    const char* name;
  } stock[] = {{IDI_HAND, "error"}, {IDI_EXCLAMATION, "warning"},
               {IDI_ASTERISK, "information"}, {IDI_QUESTION, "question"}};
  RECT rect;
  if (!GetWindowRect(icon, &rect)) return "unknown";
  for (int attempt = 0; attempt < 20; ++attempt) {
    Pixels shown;
    Render(&rect, nullptr, 0, &shown);
    for (const auto& candidate : stock) {
      Pixels drawn;
      Render(nullptr, candidate.id, shown.at[0][0], &drawn);  // corners show the background
      if (memcmp(&shown, &drawn, sizeof drawn) == 0) return candidate.name;
    }
    Sleep(100);
  }
  return "unknown";
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
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p) printf("%02x", *p);
  putchar('\n');
  fflush(stdout);
  if (keep) return 0;
  SendMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  start = GetTickCount();
  while (IsWindow(box) && GetTickCount() - start < 5000) Sleep(20);
  return 0;
}
