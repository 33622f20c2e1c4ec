// Why a display system did not serve, or what it met on the way, in short
// lines for standard error ("tusak: " and the line). Every reason goes
// through here: the GDI layer decides when the lines are told.
#ifndef TUSAK_PLATFORM_LINUX_WHY_H
#define TUSAK_PLATFORM_LINUX_WHY_H

// The system whose reasons are noted next; its name starts them.
void SetWhySystem(const char *pszName);
// A reason the system being tried does not serve: "<system>: <reason>".
void NoteWhy(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
// A reason that names what it is about itself (the X display, the
// compositor's socket, the session bus), told as it stands.
void NoteWhyAbout(const char *pszFormat, ...)
    __attribute__((format(printf, 1, 2)));
// Something worth telling even when the system serves (a file left in
// place, a picture that came incomplete): "<system>: <what>".
void NoteAlways(const char *pszFormat, ...)
    __attribute__((format(printf, 1, 2)));

// Tells the lines noted since the last time: every one when fAll, else only
// those noted with NoteAlways. Then forgets them all.
void TellWhy(bool fAll);

#endif
