// User-visible texts through GNU gettext (the C library's own), text domain
// "server_t". Catalogues live beside the executable in
// <exe dir>/locale/<lang>/LC_MESSAGES/server_t.mo.
//
// Lookups (tr_) need no window toolkit, so any panel code can use them;
// TranslateComponent is the one Qt-aware helper and takes forward-declared
// types only.
#pragma once

#include <string>

class QWidget;
class QMenu;

// The text domain of the program's catalogues.
inline constexpr const char* kTextDomain = "server_t";

// Marks a text for the catalogue extraction without translating it, for
// tables of message identifiers that are looked up later.
#define N_(s) s

// Selects the language and binds the text domain to <exeDir>/locale.
// Call it once on the user-interface thread after the application object
// exists (QApplication resets the locale from the environment) and before any
// other thread starts: it may set the LANGUAGE environment variable.
//
// The language comes from LANGUAGE, else from the first of LC_ALL,
// LC_MESSAGES and LANG that is set. A machine often has only the C and
// C.UTF-8 locales, and glibc ignores LANGUAGE under the C locale, so the
// messages category is moved to C.UTF-8 when it is plain C.
void InitTranslation(const std::string& exeDir);

// The translation of msgid in the program's text domain, or msgid itself
// when there is none. An empty msgid gives an empty text (gettext would give
// the catalogue header). Safe from any thread once InitTranslation has run.
std::string tr_(const char* msgid);
inline std::string tr_(const std::string& msgid) { return tr_(msgid.c_str()); }

// Translates, once, every text of the window root and its child widgets:
// window title, label, button and group-box texts, tool tips, combo-box
// entries; and the texts of menu's actions and submenus (when given). The
// current text is the message identifier, so call it on untranslated texts
// only, and build texts joined at run time after it has run.
void TranslateComponent(QWidget* root, QMenu* menu = nullptr);
