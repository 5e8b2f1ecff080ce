#pragma once
// How the window is composed on the screen.
//
// The embedded browser makes Qt compose the whole window through OpenGL on
// every repaint. Without a graphics card (Xvfb, a remote desktop, a virtual
// machine) that OpenGL is Mesa's software rasteriser: one composed frame of
// the window then costs tens of milliseconds of CPU (on the window's thread
// and on the rasteriser's threads), and a status text that changes during a
// download holds the window that long, twenty times a second. Chromium draws
// its pages in software on such a display anyway, so there the window is
// drawn in software as well (Qt Quick's software backend), and only the
// changed pixels go to the screen. With a graphics card nothing changes.

namespace larkvale::platform {

// Decides once per process, before the first browser view exists; a
// QT_QUICK_BACKEND or QSG_RHI_BACKEND set by the user wins.
void ChooseWindowComposition();

// Whether the window is drawn in software because OpenGL is.
bool ComposedInSoftware();

}  // namespace larkvale::platform
