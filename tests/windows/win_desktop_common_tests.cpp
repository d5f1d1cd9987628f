// The Win32 desktop pieces that need no display: the bridges from an
// engine's thread to a window's (on a message-only window), the combo box
// choice rule, the Run value, the pictures in the resources, command lines
// as CommandLineToArgvW reads them back, UTF-8 and UTF-16.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/model/image_numbers.h"
#include "desktop/win32/common/controls.h"
#include "desktop/win32/common/images.h"
#include "desktop/win32/common/shell.h"
#include "desktop/win32/common/wide.h"
#include "desktop/win32/common/window_bridge.h"

namespace mdl::win32 {
namespace {

constexpr UINT kLatest = WM_APP + 10;
constexpr UINT kQueue = WM_APP + 11;

// A message-only window that counts the bridge messages it gets and takes
// the values, as a window procedure would.
class Receiver {
 public:
  Receiver() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &Receiver::Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MdlBridgeTestReceiver";
    RegisterClassW(&wc);
    hwnd_ =
        CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~Receiver() {
    latest.Detach();
    queue.Detach();
    DestroyWindow(hwnd_);
  }
  HWND hwnd() const { return hwnd_; }

  // Handles what waits in this thread's queue, then returns.
  void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  // Whether a bridge message waits, without taking it.
  bool Waiting(UINT message) {
    MSG msg;
    return PeekMessageW(&msg, hwnd_, message, message, PM_NOREMOVE) != FALSE;
  }

  LatestBridge<int> latest;
  QueueBridge<int> queue;
  int latest_messages = 0;
  int queue_messages = 0;
  std::vector<int> latest_seen;
  std::vector<int> queue_seen;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<Receiver*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && message == kLatest) {
      ++self->latest_messages;
      if (auto v = self->latest.Take()) self->latest_seen.push_back(*v);
      return 0;
    }
    if (self && message == kQueue) {
      ++self->queue_messages;
      for (int v : self->queue.TakeAll()) self->queue_seen.push_back(v);
      return 0;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  HWND hwnd_ = nullptr;
};

TEST(WindowBridge, PushesWhileTheWindowIsBusyCoalesceIntoOneMessageWithTheNewestValue) {
  Receiver r;
  r.latest.Attach(r.hwnd(), kLatest);
  std::thread engine([&r] {
    for (int i = 1; i <= 500; ++i) r.latest.Push(std::make_shared<const int>(i));
  });
  engine.join();
  r.Pump();
  EXPECT_EQ(r.latest_messages, 1);
  EXPECT_EQ(r.latest_seen, std::vector<int>{500});
  EXPECT_EQ(r.latest.pushed(), 500u);
  EXPECT_EQ(r.latest.taken(), 1u);
  // Taken: the next push needs, and gets, a message of its own.
  r.latest.Push(std::make_shared<const int>(501));
  r.Pump();
  EXPECT_EQ(r.latest_messages, 2);
  EXPECT_EQ(r.latest_seen, (std::vector<int>{500, 501}));
}

TEST(WindowBridge, ValuesBeforeAttachWaitAndValuesAfterDetachAreDropped) {
  Receiver r;
  r.latest.Push(std::make_shared<const int>(7));
  r.queue.Push(1);
  r.queue.Push(2);
  r.Pump();
  EXPECT_EQ(r.latest_messages + r.queue_messages, 0) << "posted before a window was attached";
  r.latest.Attach(r.hwnd(), kLatest);
  r.queue.Attach(r.hwnd(), kQueue);
  r.Pump();
  EXPECT_EQ(r.latest_seen, std::vector<int>{7});
  EXPECT_EQ(r.queue_seen, (std::vector<int>{1, 2}));

  r.latest.Detach();
  r.queue.Detach();
  r.latest.Push(std::make_shared<const int>(8));
  r.queue.Push(3);
  EXPECT_FALSE(r.Waiting(kLatest));
  EXPECT_FALSE(r.Waiting(kQueue));
  EXPECT_EQ(r.latest.Take(), nullptr);
  EXPECT_TRUE(r.queue.TakeAll().empty());
  // Attaching again does not bring a detached bridge back.
  r.latest.Attach(r.hwnd(), kLatest);
  r.latest.Push(std::make_shared<const int>(9));
  r.Pump();
  EXPECT_EQ(r.latest_seen, std::vector<int>{7});
}

TEST(WindowBridge, QueueKeepsEveryValueInOrderWithOneMessagePerBatch) {
  Receiver r;
  r.queue.Attach(r.hwnd(), kQueue);
  for (int i = 0; i < 50; ++i) r.queue.Push(i);
  r.Pump();
  EXPECT_EQ(r.queue_messages, 1);
  r.queue.Push(50);
  r.Pump();
  EXPECT_EQ(r.queue_messages, 2);
  ASSERT_EQ(r.queue_seen.size(), 51u);
  for (int i = 0; i <= 50; ++i) EXPECT_EQ(r.queue_seen[static_cast<size_t>(i)], i);
}

TEST(WindowBridge, WindowPumpingWhileTheEnginePushesEndsWithTheLastValueAndNoLoss) {
  Receiver r;
  r.latest.Attach(r.hwnd(), kLatest);
  r.queue.Attach(r.hwnd(), kQueue);
  std::atomic<bool> done{false};
  std::thread engine([&] {
    for (int i = 1; i <= 2000; ++i) {
      r.latest.Push(std::make_shared<const int>(i));
      r.queue.Push(i);
    }
    done = true;
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done && std::chrono::steady_clock::now() < limit) r.Pump();
  engine.join();
  r.Pump();
  ASSERT_FALSE(r.latest_seen.empty());
  EXPECT_EQ(r.latest_seen.back(), 2000);
  for (size_t i = 1; i < r.latest_seen.size(); ++i) EXPECT_LT(r.latest_seen[i - 1], r.latest_seen[i]);
  EXPECT_LE(r.latest_messages, 2000);
  ASSERT_EQ(r.queue_seen.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(r.queue_seen[static_cast<size_t>(i)], i + 1);
}

TEST(ComboChoice, EveryChoiceCountsOnceWhetherItCameAsAChangeAConfirmationOrBoth) {
  ComboChoice choice;
  // Moving through the open list, then the click that confirms.
  EXPECT_EQ(choice.Decide(CBN_SELCHANGE, 1, true), -1);
  EXPECT_EQ(choice.Decide(CBN_SELCHANGE, 2, true), -1);
  EXPECT_EQ(choice.Decide(CBN_SELENDOK, 2, false), 2);
  // The keyboard on the closed list: a change, then (sometimes) its confirmation.
  EXPECT_EQ(choice.Decide(CBN_SELCHANGE, 0, false), 0);
  EXPECT_EQ(choice.Decide(CBN_SELENDOK, 0, false), -1) << "the same choice counted twice";
  // A confirmation after a change to another entry is a choice of its own.
  EXPECT_EQ(choice.Decide(CBN_SELCHANGE, 1, false), 1);
  EXPECT_EQ(choice.Decide(CBN_SELENDOK, 2, false), 2);
  // The same entry confirmed again is chosen again.
  EXPECT_EQ(choice.Decide(CBN_SELENDOK, 2, false), 2);
  // No selection, or other notifications: no choice.
  EXPECT_EQ(choice.Decide(CBN_SELENDOK, -1, false), -1);
  EXPECT_EQ(choice.Decide(CBN_SELENDCANCEL, 1, false), -1);
  EXPECT_EQ(choice.Decide(CBN_DROPDOWN, 1, true), -1);
}

TEST(RunValue, WrittenUnderTheMachinesKeyAndRemovedFromBothKeys) {
  // A name of this test's own, in the test's Wine prefix.
  const std::wstring name = L"Meridel Test " + std::to_wstring(GetCurrentProcessId());
  const std::wstring data = L"\"C:\\Program Files\\Meridel\\QOR_MDL_Server.exe\" --home D:\\mdl";
  EXPECT_EQ(SetRunValue(name, data, true), "");
  EXPECT_EQ(ReadRunValue(HKEY_LOCAL_MACHINE, name), data);
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER, name), L"");
  // A value left under the user's key (written when the machine's was denied) goes too.
  HKEY user = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &user, nullptr),
      ERROR_SUCCESS);
  RegSetValueExW(user, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(user);
  EXPECT_EQ(SetRunValue(name, data, false), "");
  EXPECT_EQ(ReadRunValue(HKEY_LOCAL_MACHINE, name), L"");
  EXPECT_EQ(ReadRunValue(HKEY_CURRENT_USER, name), L"");
  // Removing what is not there is no error.
  EXPECT_EQ(SetRunValue(name, data, false), "");
}

TEST(ImageSet, EveryPictureTheWindowsNameIsInTheResources) {
  ImageSet images(16);
  ASSERT_NE(images.list(), nullptr);
  for (int number : {desktop::kImageServer, desktop::kImageNoFlag, desktop::kImageLedOff,
                     desktop::kImageLedOn, desktop::kImageService}) {
    EXPECT_TRUE(images.Has(number)) << "image " << number;
  }
  for (const desktop::FlagImage& flag : desktop::kFlagImages) {
    EXPECT_TRUE(images.Has(flag.number)) << "flag " << flag.country << " (image " << flag.number << ")";
    EXPECT_NE(images.IndexOf(flag.number), images.IndexOf(desktop::kImageNoFlag)) << flag.country;
  }
  EXPECT_EQ(ImageList_GetImageCount(images.list()), 5 + static_cast<int>(desktop::kFlagImages.size()));
  // A number without a picture shows that of an entry without a flag.
  EXPECT_FALSE(images.Has(3));
  EXPECT_EQ(images.IndexOf(3), images.IndexOf(desktop::kImageNoFlag));
  EXPECT_EQ(images.Icon(3), images.Icon(desktop::kImageNoFlag));
}

std::vector<std::wstring> ReadBack(const std::wstring& line) {
  int n = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &n);
  std::vector<std::wstring> out(argv, argv + n);
  LocalFree(argv);
  return out;
}

TEST(CommandLine, EachArgumentReadsBackAsItWasWhateverItHolds) {
  const std::vector<std::string> arguments = {"--home",
                                              "C:\\Program Files\\Meridel",
                                              "",
                                              "plain",
                                              "say \"hi\"",
                                              "C:\\dir with blank\\",
                                              "back\\\\slashes\\\\",
                                              "tab\there",
                                              "trailing\\",
                                              "/tMeridel Server",
                                              "Zürich"};
  const std::wstring line = CommandLine("C:\\Program Files\\Meridel\\QOR_MDL_Server.exe", arguments);
  const std::vector<std::wstring> back = ReadBack(line);
  ASSERT_EQ(back.size(), arguments.size() + 1) << Narrow(line);
  EXPECT_EQ(back[0], L"C:\\Program Files\\Meridel\\QOR_MDL_Server.exe");
  for (size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(Narrow(back[i + 1]), arguments[i]) << Narrow(line);
  // Words without blanks stay as they are, as the Run value shows them.
  EXPECT_EQ(CommandLine("C:\\Meridel\\QOR_MDL_Server.exe", {}), L"C:\\Meridel\\QOR_MDL_Server.exe");
}

TEST(Wide, ConvertsBothWaysAndBreaksEditLinesAtCrLf) {
  const std::string text = "Zürich \xE2\x82\xAC 1\n2\r\n3";
  EXPECT_EQ(Widen(text), L"Z\u00FCrich \u20AC 1\n2\r\n3");
  EXPECT_EQ(Narrow(Widen(text)), text);
  EXPECT_EQ(WidenLines("a\nb\r\nc\n"), L"a\r\nb\r\nc\r\n");
  EXPECT_EQ(WidenLines("\n"), L"\r\n");
  EXPECT_EQ(Widen(""), L"");
  // A broken sequence is a replacement character, not an error or a cut.
  EXPECT_EQ(Widen("a\xFF"
                  "b"),
            L"a\uFFFDb");
}

}  // namespace
}  // namespace mdl::win32
