// Message boxes. The caption and the text are printed besides, the error and
// warning kinds on standard error, the others on standard output (where the
// process has that stream), so that an installer run from a script or in a
// session without a desktop still tells its result.
// POSIX: there is no desktop; the printed text is the box, and its one
// button counts as pressed.
#pragma once

#include "platform/types.h"

namespace win {

// Buttons (POSIX: answered with the first).
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
// Icons: the kind of the box.
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x000000F0;
// Modality (without a desktop, no effect).
constexpr UINT MB_APPLMODAL = 0x00000000;
constexpr UINT MB_SYSTEMMODAL = 0x00001000;
constexpr UINT MB_TASKMODAL = 0x00002000;

constexpr int IDOK = 1;

// Prints "caption" on one line and the text on the next (each CR LF of the
// text as one line break), both in the ANSI code page as they are, and
// flushes; then shows the box where a desktop can be seen. Returns the
// button pressed, IDOK when no box could be shown. Safe from any thread; one
// box is done before another.
int MessageBox(const char* text, const char* caption, UINT type);

}  // namespace win
