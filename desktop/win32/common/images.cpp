// Image list and icons from the program's resources.
#include "desktop/win32/common/images.h"

#include "desktop/win32/res/resource_ids.h"

namespace mdl::win32 {
namespace {

// Image numbers run 1 to 99; the resources hold those in use.
constexpr int kLastImage = 99;
constexpr int kNoFlag = 2;

HICON LoadIconAt(int resource, int size) {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource), IMAGE_ICON,
                                       size, size, LR_DEFAULTCOLOR));
}

}  // namespace

ImageSet::ImageSet(int size) : size_(size) {
  list_ = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 48, 8);
  for (int number = 1; number <= kLastImage; ++number) {
    HICON icon = LoadIconAt(MDL_IDI_IMAGE_BASE + number, size);
    if (!icon) continue;
    icons_[number] = icon;
    if (list_) index_[number] = ImageList_AddIcon(list_, icon);
  }
}

ImageSet::~ImageSet() {
  for (auto& [number, icon] : icons_) DestroyIcon(icon);
  if (list_) ImageList_Destroy(list_);
}

int ImageSet::IndexOf(int number) const {
  if (auto it = index_.find(number); it != index_.end()) return it->second;
  if (auto it = index_.find(kNoFlag); it != index_.end()) return it->second;
  return -1;
}

HICON ImageSet::Icon(int number) const {
  if (auto it = icons_.find(number); it != icons_.end()) return it->second;
  if (auto it = icons_.find(kNoFlag); it != icons_.end()) return it->second;
  return nullptr;
}

HICON LoadProgramIcon(int resource, int size) {
  if (HICON icon = LoadIconAt(resource, size)) return icon;
  return static_cast<HICON>(CopyImage(LoadIconW(nullptr, IDI_APPLICATION), IMAGE_ICON, size, size, 0));
}

}  // namespace mdl::win32
