// The numbers of the main window's pictures, shared by both toolkits' image
// lists: 1 the server, 2 an entry without a flag, 33 and 34 the dark and lit
// activity indicator, 35 a service; 40 to 70 the flags of the shipped server
// list (the number a server list entry names).
#pragma once

#include <array>
#include <string_view>

namespace mdl::desktop {

inline constexpr int kImageServer = 1;
inline constexpr int kImageNoFlag = 2;
inline constexpr int kImageLedOff = 33;
inline constexpr int kImageLedOn = 34;
inline constexpr int kImageService = 35;

struct FlagImage {
  int number;
  const char* country;  // the flag picture's name: "us", "gb", "europeanunion"
};

// The flags, by image number (40 to 70, counting up).
inline constexpr std::array<FlagImage, 31> kFlagImages{{
    {40, "us"}, {41, "ca"}, {42, "mx"}, {43, "br"}, {44, "ar"}, {45, "cl"},
    {46, "de"}, {47, "gb"}, {48, "ch"}, {49, "it"}, {50, "es"}, {51, "europeanunion"},
    {52, "fr"}, {53, "za"}, {54, "ke"}, {55, "eg"}, {56, "ng"}, {57, "ru"},
    {58, "tr"}, {59, "il"}, {60, "id"}, {61, "cn"}, {62, "hk"}, {63, "tw"},
    {64, "in"}, {65, "th"}, {66, "jp"}, {67, "kr"}, {68, "au"}, {69, "nz"},
    {70, "sg"},
}};

// The country code of a flag image ("us"), empty for other numbers.
constexpr std::string_view FlagCountry(int number) {
  for (const FlagImage& f : kFlagImages)
    if (f.number == number) return f.country;
  return {};
}

// Whether the image list has a picture of its own for `number`; the others show image 2.
constexpr bool HasImage(int number) {
  return number == kImageServer || number == kImageNoFlag || number == kImageLedOff ||
         number == kImageLedOn || number == kImageService || !FlagCountry(number).empty();
}

}  // namespace mdl::desktop
