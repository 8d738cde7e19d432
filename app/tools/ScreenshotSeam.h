// For scripts/screenshot.sh only: when the environment variable TRABIX_SCREENSHOT names a PNG
// file, the program looks every 200 ms for a request file beside it (the same name followed by
// ".request"). When one appears it draws the window with its first two tabs, one above the
// other, into the PNG file, the About box into the same name ending in "-about.png", the
// "Connections" tab into "<name>-connections.png", the stream view of the first listed
// connection into "<name>-stream.png" and each page of channel 1's "Channel Settings" dialog
// into "<name>-channel-<page>.png", and deletes the request. Without the variable nothing
// happens. Only the trabix-screenshot tool links it; the shipped program has no seam.
#pragma once

class TMainForm;

// Called on the main thread only, once, after the window exists.
void InstallScreenshotSeam(TMainForm& form);
