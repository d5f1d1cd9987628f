// The window driver against a small window of standard controls: each action
// must reach the window as the user's would (the parent's notifications,
// the control's state), or the window tests built on it prove nothing.
#include "win32_driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win32_test_env.h"

namespace mdl::win32test {
namespace {

constexpr int kIdButton = 10;
constexpr int kIdCheck = 11;
constexpr int kIdEdit = 12;
constexpr int kIdCombo = 13;
constexpr int kIdTree = 14;
constexpr int kIdNested = 15;
constexpr int kIdPanel = 16;
constexpr int kIdF5 = 40;

// What the test window saw, one line per notification.
std::vector<std::string> g_seen;
WNDPROC g_edit_proc = nullptr;

LRESULT CALLBACK EditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_KEYDOWN && wp == VK_RETURN) g_seen.push_back("enter " + TextOf(edit));
  if (msg == WM_CHAR && wp == L'\r') return 0;  // no beep, no character
  return CallWindowProcW(g_edit_proc, edit, msg, wp, lp);
}

LRESULT CALLBACK TestProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      const int code = HIWORD(wp);
      HWND control = reinterpret_cast<HWND>(lp);
      if (id == kIdButton && code == BN_CLICKED) g_seen.push_back("button");
      if (id == kIdCheck && code == BN_CLICKED) g_seen.push_back(Checked(control) ? "check on" : "check off");
      if (id == kIdEdit && code == EN_CHANGE) g_seen.push_back("change " + TextOf(control));
      if (id == kIdCombo && code == CBN_SELCHANGE)
        g_seen.push_back("combo " + std::to_string(Selected(control)));
      if (id == kIdCombo && code == CBN_SELENDOK)
        g_seen.push_back("chosen " + std::to_string(Selected(control)));
      if (id == kIdF5 && !control) g_seen.push_back("F5");
      return 0;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom != kIdTree) break;
      if (header->code == TVN_SELCHANGEDW) g_seen.push_back("tree " + SelectedTreeText(header->hwndFrom));
      if (header->code == NM_CLICK) g_seen.push_back("click");
      if (header->code == NM_DBLCLK) g_seen.push_back("double " + SelectedTreeText(header->hwndFrom));
      return 0;
    }
  }
  return DefWindowProcW(window, msg, wp, lp);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(HaveDisplay()) << kNoDisplay;
    g_seen.clear();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW cls{};
    cls.lpfnWndProc = TestProc;
    cls.hInstance = instance;
    cls.lpszClassName = L"MdlDriverTest";
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    RegisterClassW(&cls);
    window_ = CreateWindowExW(0, L"MdlDriverTest", L"Driver test", WS_OVERLAPPEDWINDOW, 10, 10, 400, 400,
                              nullptr, nullptr, instance, nullptr);
    ASSERT_NE(window_, nullptr);
    auto child = [&](const wchar_t* cls_name, const wchar_t* text, DWORD style, int id, int y, HWND parent) {
      return CreateWindowExW(0, cls_name, text, WS_CHILD | WS_VISIBLE | style, 10, y, 200, 22, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    };
    child(L"BUTTON", L"Go", BS_PUSHBUTTON, kIdButton, 10, window_);
    child(L"BUTTON", L"Enabled", BS_AUTOCHECKBOX, kIdCheck, 40, window_);
    HWND edit = child(L"EDIT", L"37", WS_BORDER | ES_AUTOHSCROLL, kIdEdit, 70, window_);
    g_edit_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
    HWND combo = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 100, 200,
                                 200, window_, reinterpret_cast<HMENU>(kIdCombo), instance, nullptr);
    for (const wchar_t* unit : {L"Second/s", L"Minute/s", L"Hour/s"}) {
      SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(unit));
    }
    HWND tree =
        CreateWindowExW(0, WC_TREEVIEWW, L"", WS_CHILD | WS_VISIBLE | TVS_HASLINES | TVS_SHOWSELALWAYS, 10,
                        130, 200, 120, window_, reinterpret_cast<HMENU>(kIdTree), instance, nullptr);
    HTREEITEM root = nullptr;
    for (const wchar_t* text : {L"Server", L"NTP", L"Server Synchronization"}) {
      TVINSERTSTRUCTW insert{};
      insert.hParent = root ? root : TVI_ROOT;
      insert.hInsertAfter = TVI_LAST;
      insert.item.mask = TVIF_TEXT;
      insert.item.pszText = const_cast<wchar_t*>(text);
      auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_INSERTITEMW, 0, (LPARAM)&insert));
      if (!root) root = item;
    }
    SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
    HWND panel = child(L"STATIC", L"", 0, kIdPanel, 260, window_);
    SetWindowPos(panel, nullptr, 10, 260, 300, 60, SWP_NOZORDER);
    child(L"STATIC", L"Inside", 0, kIdNested, 5, panel);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    Pump();
    g_seen.clear();
  }
  void TearDown() override {
    if (window_) DestroyWindow(window_);
    Pump();
  }
  HWND window_ = nullptr;
};

TEST_F(DriverTest, FindsControlsByIdAlsoOnPanelsAndReadsTheirTexts) {
  EXPECT_EQ(TextOf(Control(window_, kIdButton)), "Go");
  EXPECT_EQ(TextOf(Control(window_, kIdNested)), "Inside");
  EXPECT_EQ(Control(window_, 999), nullptr);
  SetWindowTextW(Control(window_, kIdEdit), L"a\r\nb");
  EXPECT_EQ(TextOf(Control(window_, kIdEdit)), "a\nb");
}

TEST_F(DriverTest, ClicksReachTheParentAndToggleCheckBoxes) {
  Click(Control(window_, kIdButton));
  Click(Control(window_, kIdCheck));
  Click(Control(window_, kIdCheck));
  EXPECT_EQ(g_seen, (std::vector<std::string>{"button", "check on", "check off"}));
  EXPECT_FALSE(Checked(Control(window_, kIdCheck)));
}

TEST_F(DriverTest, TypingReplacesTheTextCharacterByCharacterAndEnterReachesTheEdit) {
  HWND edit = Control(window_, kIdEdit);
  Type(edit, L"123");
  PressEnter(edit);
  EXPECT_EQ(TextOf(edit), "123");
  EXPECT_EQ(GetFocus(), edit);
  EXPECT_EQ(g_seen,
            (std::vector<std::string>{"change ", "change 1", "change 12", "change 123", "enter 123"}));
}

TEST_F(DriverTest, ChoosingAComboItemSendsTheSelectionChange) {
  HWND combo = Control(window_, kIdCombo);
  EXPECT_EQ(ComboItems(combo), (std::vector<std::string>{"Second/s", "Minute/s", "Hour/s"}));
  ASSERT_TRUE(Choose(combo, 1));
  EXPECT_EQ(Selected(combo), 1);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"combo 0", "combo 1", "chosen 1"}));
  EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
  // With the mouse the control confirms first and tells the change after.
  g_seen.clear();
  ASSERT_TRUE(ClickItem(combo, 2));
  EXPECT_EQ(Selected(combo), 2);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"chosen 2", "combo 2"}));
  EXPECT_FALSE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
}

TEST_F(DriverTest, TreeItemsAreSelectedAndDoubleClickedByTheirText) {
  HWND tree = Control(window_, kIdTree);
  std::vector<std::string> texts;
  for (const TreeItem& item : TreeItems(tree)) texts.push_back(item.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Server", "NTP", "Server Synchronization"}));
  EXPECT_TRUE(SelectTreeItem(tree, "NTP"));
  EXPECT_FALSE(SelectTreeItem(tree, "Time"));
  EXPECT_EQ(g_seen, (std::vector<std::string>{"tree NTP"}));
  g_seen.clear();
  EXPECT_TRUE(ClickTreeItem(tree, "Server"));
  // The click comes first, as with a real mouse; the selection follows.
  EXPECT_EQ(g_seen, (std::vector<std::string>{"click", "tree Server"}));
  g_seen.clear();
  EXPECT_TRUE(DoubleClickTreeItem(tree, "Server Synchronization"));
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[1], "tree Server Synchronization");
  EXPECT_EQ(g_seen.back(), "double Server Synchronization");
}

TEST_F(DriverTest, PumpingRunsPostedMessagesTranslatesAcceleratorsAndStopsAtItsLimit) {
  ACCEL accel{FVIRTKEY, VK_F5, kIdF5};
  HACCEL table = CreateAcceleratorTableW(&accel, 1);
  PostKey(window_, VK_F5);
  EXPECT_TRUE(PumpUntil([] { return !g_seen.empty(); }, std::chrono::milliseconds(2000),
                        [&](MSG* msg) { return TranslateAcceleratorW(window_, table, msg) != 0; }));
  EXPECT_EQ(g_seen, (std::vector<std::string>{"F5"}));
  DestroyAcceleratorTable(table);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PumpUntil([] { return false; }, std::chrono::milliseconds(100)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace mdl::win32test
