#include "translation.h"

#include <libintl.h>

#include <atomic>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace velmo {

namespace {

std::atomic<bool> gEnglish{false};

}  // namespace

void initTranslations(const std::string& localeFolder) {
    std::setlocale(LC_ALL, "");
    // " Space usage: 50.0%" stays with its point in a locale that writes 50,0.
    std::setlocale(LC_NUMERIC, "C");
    bindtextdomain(kTextDomain, localeFolder.c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
}

void keepEnglish() {
    gEnglish = true;
    // strerror follows LC_MESSAGES; with C, gettext ignores LANGUAGE too.
    std::setlocale(LC_MESSAGES, "C");
}

const char* tr_(const char* english) {
    if (gEnglish.load(std::memory_order_relaxed) || english[0] == '\0') return english;
    return dgettext(kTextDomain, english);
}

const char* trn_(const char* singular, const char* plural, unsigned long n) {
    if (gEnglish.load(std::memory_order_relaxed)) return n == 1 ? singular : plural;
    return dngettext(kTextDomain, singular, plural, n);
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, again);
        out.assign(text.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return out;
}

}  // namespace velmo
