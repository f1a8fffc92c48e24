// The user's language for every text that people read. Each text is its
// own key: the English text exactly as the program shows it, looked up in
// the catalogue velmo.mo of the language that LANGUAGE, LC_ALL, LC_MESSAGES
// or LANG names (gettext's order). Without a catalogue, or with the C
// locale, every text comes back unchanged, so the English output never
// depends on a catalogue being installed.
//
// Texts with variable parts are whole sentences with printf placeholders
// ("Cannot read %s: %s"), so that a translation can reorder them ("%2$s").
// Marked texts are found by xgettext through the keywords tr_, trn_:1,2 and
// N_ (see po/CMakeLists.txt).
#pragma once

#include <string>

namespace velmo {

// The gettext domain: velmo.mo in <locale folder>/<language>/LC_MESSAGES/.
constexpr const char* kTextDomain = "velmo";

// Takes the user's locale from the environment for everything but numbers
// (a decimal point stays a point in every message, as the English texts
// have it) and binds the domain to `localeFolder`, in UTF-8 whatever the
// locale's own character set. Call once, first thing in main (after the
// QApplication, which sets the locale itself), before any thread starts.
void initTranslations(const std::string& localeFolder);

// From now on every text stays English, and so do the system's error
// texts (strerror): for output that programs read. Call before any thread
// starts.
void keepEnglish();

// `english` in the user's language.
const char* tr_(const char* english) __attribute__((format_arg(1)));
// The form of `singular` / `plural` that fits `n`, in the user's language.
const char* trn_(const char* singular, const char* plural, unsigned long n) __attribute__((format_arg(1)))
__attribute__((format_arg(2)));

// Marks a text for the catalogue where it is defined (a constant); the
// place that shows it passes it through tr_.
constexpr const char* N_(const char* english) { return english; }

// printf into a string: for the translated sentences with placeholders.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmo
