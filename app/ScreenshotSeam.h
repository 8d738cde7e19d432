// For scripts/screenshot.sh only: when the environment variable TRABIX_SCREENSHOT names a PNG
// file, the program looks every 200 ms for a request file beside it (the same name followed by
// ".request"). When one appears it draws the window with each of its two tabs, one above the
// other, into the PNG file, and the About box into the same name ending in "-about.png", and
// deletes the request. Without the variable nothing happens.
#pragma once

class TMainForm;

// Called on the main thread only, once, after the window exists.
void InstallScreenshotSeam(TMainForm &form);
