// The desktop client program's Run value: what Windows runs at its start
// is the program's folder followed by "\QOR_MDLSC.exe", whatever the folder
// is called and however the program's own file is named.
#include <gtest/gtest.h>

#include <filesystem>

#include "desktop/win32/client/desktop_client.h"
#include "desktop/win32/common/wide.h"

namespace mdl::win32 {
namespace {

TEST(ClientRunValue, NamesTheProgramFolderAndTheClientProgram) {
  struct Case {
    std::filesystem::path program;
    std::string data;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Meridel\\QOR_MDLSC.exe", "C:\\Program Files\\Meridel\\QOR_MDLSC.exe"},
      // A renamed copy still registers the client's own name, as the value always has.
      {L"D:\\tools\\mdl client.exe", "D:\\tools\\QOR_MDLSC.exe"},
      {L"Z:\\tmp\\z\u00fcrich\\\u6642\u8a08\\QOR_MDLSC.exe",
       "Z:\\tmp\\z\xc3\xbcrich\\\xe6\x99\x82\xe8\xa8\x88\\QOR_MDLSC.exe"},
      // A drive's root: one separator, not two.
      {L"C:\\QOR_MDLSC.exe", "C:\\QOR_MDLSC.exe"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClientRunValueDataFor(c.program), c.data) << Narrow(c.program.wstring());
}

}  // namespace
}  // namespace mdl::win32
