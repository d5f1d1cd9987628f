// The window's pictures by image number (1 the server, 2 an entry without a
// flag, 33 and 34 the dark and lit lamp, 35 a service, 40 to 70 the flags),
// taken from the program's icon resources (MDL_IDI_IMAGE_BASE + number) at
// one pixel size. Numbers without a picture show that of image 2.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <map>

namespace mdl::win32 {

class ImageSet {
 public:
  // `size` in pixels (16 at 96 DPI).
  explicit ImageSet(int size);
  ~ImageSet();
  ImageSet(const ImageSet&) = delete;
  ImageSet& operator=(const ImageSet&) = delete;

  int size() const { return size_; }
  // Every picture of the program, for a tree view or an image combo box.
  HIMAGELIST list() const { return list_; }
  // The list index of an image number's picture; -1 when the program has none.
  int IndexOf(int number) const;
  // The picture as an icon, owned by the set; null when the program has none.
  HICON Icon(int number) const;
  bool Has(int number) const { return icons_.count(number) != 0; }

 private:
  int size_;
  HIMAGELIST list_ = nullptr;
  std::map<int, HICON> icons_;
  std::map<int, int> index_;
};

// A program icon (MDL_IDI_SERVER, MDL_IDI_CLIENT) at a pixel size; the
// caller destroys it (DestroyIcon). Falls back to the system's program icon.
HICON LoadProgramIcon(int resource, int size);

}  // namespace mdl::win32
