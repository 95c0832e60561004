// The 8.3 entry, the long-name entry, the alias and its checksum.
#include <cstring>

#include "test_support.h"

using namespace fat16test;

namespace {

std::string alias_of(const char *name, FsStatus *status = nullptr) {
    uint8_t alias[11];
    memset(alias, '?', sizeof alias);
    FsStatus s = lfn_make_alias(name, alias);
    if (status != nullptr) *status = s;
    return std::string(alias, alias + 11);
}

TEST(ShortEntry, NamePartsAndFields) {
    uint8_t e[32];
    memset(e, 0xAA, sizeof e);
    EXPECT_EQ(dir_build_short_entry(e, "README", 0x12345, 0x01020304, ATTR_ARCHIVE), FS_OK);
    EXPECT_EQ(std::string(e, e + 11), "README     ");
    EXPECT_EQ(e[11], ATTR_ARCHIVE);
    for (int i = 12; i < 26; i++) EXPECT_EQ(e[i], 0) << i;
    EXPECT_EQ(e[26], 0x45); // low 16 bits of the cluster only
    EXPECT_EQ(e[27], 0x23);
    EXPECT_EQ(e[28], 0x04);
    EXPECT_EQ(e[31], 0x01);

    dir_build_short_entry(e, "A.TXTX", 0, 0, ATTR_ARCHIVE);
    EXPECT_EQ(std::string(e, e + 11), "A       TXT");
    dir_build_short_entry(e, "ABCDEFGH.TXT", 0, 0, ATTR_ARCHIVE);
    EXPECT_EQ(std::string(e, e + 11), "ABCDEFGHTXT");
    dir_build_short_entry(e, "A.B.C", 0, 0, ATTR_DIRECTORY);
    EXPECT_EQ(std::string(e, e + 11), "A       B.C");
    EXPECT_EQ(e[11], ATTR_DIRECTORY);
}

TEST(LongEntry, Checksum) {
    EXPECT_EQ(lfn_checksum((const uint8_t *)"LONGFI~1TXT"), 0xD4);
    EXPECT_EQ(lfn_checksum((const uint8_t *)"           "), 0xF7);
}

TEST(LongEntry, FillTerminatesAndPadsShortChunks) {
    uint8_t slot[32];
    char window[14] = "hello";
    memset(window + 6, 'z', 7);
    EXPECT_EQ(lfn_fill_entry(slot, window, 0x42, 0x99), FS_OK);
    EXPECT_EQ(slot[0], 0x42);
    EXPECT_EQ(slot[11], 0x0F);
    EXPECT_EQ(slot[12], 0);
    EXPECT_EQ(slot[13], 0x99);
    EXPECT_EQ(slot[26], 0);
    EXPECT_EQ(slot[27], 0);
    const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int k = 0; k < 5; k++) {
        EXPECT_EQ(slot[offsets[k]], (uint8_t) "hello"[k]);
        EXPECT_EQ(slot[offsets[k] + 1], 0);
    }
    EXPECT_EQ(slot[offsets[5]], 0); // terminator 0x0000
    EXPECT_EQ(slot[offsets[5] + 1], 0);
    for (int k = 6; k < 13; k++) {
        EXPECT_EQ(slot[offsets[k]], 0xFF) << k; // padding 0xFFFF
        EXPECT_EQ(slot[offsets[k] + 1], 0xFF) << k;
    }
    EXPECT_EQ((uint8_t)window[6], 0xFF); // the caller's window carries the padding

    char twelve[14] = "abcdefghijkl";
    lfn_fill_entry(slot, twelve, 1, 0);
    EXPECT_EQ(slot[offsets[11]], 'l');
    EXPECT_EQ(slot[offsets[12]], 0);
    EXPECT_EQ(slot[offsets[12] + 1], 0);

    char thirteen[] = "abcdefghijklmNOPQ"; // a middle chunk: 13 characters, no terminator
    lfn_fill_entry(slot, thirteen, 1, 0);
    EXPECT_EQ(slot[offsets[12]], 'm');
    EXPECT_EQ(slot[offsets[12] + 1], 0);
    EXPECT_EQ(std::string(thirteen), "abcdefghijklmNOPQ");
}

TEST(Alias, Examples) {
    FsStatus s;
    EXPECT_EQ(alias_of("created_file.txt", &s), "create~1txt");
    EXPECT_EQ(s, FS_OK);
    EXPECT_EQ(alias_of("LONGFILENAME.TXT"), "LONGFI~1TXT");
    EXPECT_EQ(alias_of("ABCDEFGHIJKLMN", &s), "ABCDEF~1   ");
    EXPECT_EQ(s, FS_OK);
    EXPECT_EQ(alias_of("ABCDEF.TXT"), "ABCDEF~1TXT");
    EXPECT_EQ(alias_of("AB.CDEFGHIJKLMNOP", &s), "AB      CDE");
    EXPECT_EQ(s, FS_FAIL);
    EXPECT_EQ(alias_of("abc.d"), "abc     d  ");
}

} // namespace
