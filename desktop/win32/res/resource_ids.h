// Resource numbers of the Win32 desktop programs, shared by the .rc files
// (plain #defines, as the resource compiler reads them) and the code.
#pragma once

#define MDL_IDI_SERVER 100  // the server program's icon (first: Explorer shows it)
#define MDL_IDI_CLIENT 101  // the client program's icon
// The image list's pictures: resource MDL_IDI_IMAGE_BASE + image number
// (1 the server, 2 no flag, 33 and 34 the lamps, 35 a service, 40 to 70 the flags).
#define MDL_IDI_IMAGE_BASE 1000
