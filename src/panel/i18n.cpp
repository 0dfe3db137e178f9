#include "i18n.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

const char* NonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

bool IsPlainCLocale(const char* name) {
    return name && (std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0);
}

}  // namespace

void InitTranslation(const std::string& exeDir) {
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (!messages || IsPlainCLocale(messages)) std::setlocale(LC_MESSAGES, "C.UTF-8");

    if (!NonEmptyEnv("LANGUAGE")) {
        const char* lang = NonEmptyEnv("LC_ALL");
        if (!lang) lang = NonEmptyEnv("LC_MESSAGES");
        if (!lang) lang = NonEmptyEnv("LANG");
        if (lang && !IsPlainCLocale(lang)) setenv("LANGUAGE", lang, 1);
    }

    const std::string dir = exeDir + "/locale";
    bindtextdomain(kTextDomain, dir.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    // Setting the domain also drops glibc's cached lookups, so a second call
    // after the environment changed takes the new language.
    textdomain(kTextDomain);
}

std::string tr_(const char* msgid) {
    if (!msgid || !*msgid) return {};
    return dgettext(kTextDomain, msgid);
}
