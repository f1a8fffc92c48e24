#include "translation.h"

#include <gtest/gtest.h>
#include <libintl.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "install_paths.h"

namespace {

using namespace velmo;

// The build tree's catalogues in `language`, as a desktop session with
// LANGUAGE set would choose them (C.UTF-8: gettext ignores LANGUAGE under C).
void speak(const char* language) {
    initTranslations(localeFolder(VELMO_BIN_DIR));
    ::setenv("LANGUAGE", language, 1);
    std::setlocale(LC_MESSAGES, "C.UTF-8");
    ::textdomain(::textdomain(nullptr));  // drops what gettext has cached
}

TEST(Translation, TextsComeFromTheCatalogueOfTheLanguage) {
    struct Row {
        const char* language;
        const char* error;
        const char* twoSongs;
    };
    const Row rows[] = {
        {"C", "Error", "Downloaded 2 songs (10 image bytes).\n"},
        {"de", "Fehler", "2 Lieder übertragen (10 Bytes im Abbild).\n"},
        {"fr", "Erreur", "2 chansons transférées (10 octets d'image).\n"},
        {"es", "Error", "2 canciones transferidas (10 bytes de imagen).\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.language);
        speak(row.language);
        EXPECT_STREQ(row.error, tr_("Error"));
        EXPECT_EQ(row.twoSongs,
                  format(trn_("Downloaded %u song (%ju image bytes).\n", "Downloaded %u songs (%ju image bytes).\n", 2),
                         2u, uintmax_t{10}));
        // A text no catalogue knows (a song's name in a message) stays as it is.
        EXPECT_STREQ("Morning Walk", tr_("Morning Walk"));
        EXPECT_STREQ("", tr_(""));
    }
}

TEST(Translation, KeepEnglishKeepsEveryTextEnglish) {
    speak("de");
    ASSERT_STREQ("Fehler", tr_("Error"));
    keepEnglish();
    EXPECT_STREQ("Error", tr_("Error"));
    EXPECT_STREQ("song", trn_("song", "songs", 1));
    EXPECT_STREQ("songs", trn_("song", "songs", 3));
    EXPECT_STREQ("No such file or directory", std::strerror(ENOENT));
}

TEST(Translation, FormatFillsPlaceholdersOfAnyLength) {
    EXPECT_EQ(" Space usage: 50.0%", format(" Space usage: %2.1f%c", 50.0, '%'));
    const std::string longPath(5000, 'x');
    EXPECT_EQ("Cannot read " + longPath + ": gone", format("Cannot read %s: %s", longPath.c_str(), "gone"));
    // A translation may put the placeholders in another order.
    EXPECT_EQ("b a", format("%2$s %1$s", "a", "b"));
    EXPECT_EQ("", format("%s", ""));
}

}  // namespace
