// The ISO 9660 walk over volumes made in memory, for the damage that the
// images made by genisoimage in the scenarios don't have, and the descriptor
// parsers' track tables.
#include "disc.h"
#include "iso9660.h"
#include "util.h"

#include <map>
#include <sstream>

namespace {

using block = std::array<std::uint8_t, 2048>;

// A directory record; a name of one byte 0 or 1 is "." or "..".
bytes record(const std::string& name, std::uint32_t extent, std::uint32_t length, bool folder)
{
    bytes r(33 + name.size() + (name.size() % 2 == 0), 0);
    r[0] = static_cast<std::uint8_t>(r.size());
    for (int i = 0; i < 4; ++i) {
        r[2 + i] = r[9 - i] = static_cast<std::uint8_t>(extent >> (8 * i));
        r[10 + i] = r[17 - i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    r[25] = folder ? 2 : 0;
    r[32] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), r.begin() + 33);
    return r;
}

// A volume of the disc's sectors from 45000: the primary volume descriptor at
// 45016, whose root is at 45020, and the blocks that a case puts there. A
// file outside the data track is listed with "!".
struct volume {
    std::map<std::uint32_t, block> blocks;
    std::uint32_t end = 45100;  // the data track's end
    void folder(std::uint32_t at, const std::vector<bytes>& records)
    {
        block b{};
        std::size_t used = 0;
        for (const bytes& r : records)
            used += (std::copy(r.begin(), r.end(), b.begin() + static_cast<long>(used)), r.size());
        blocks[at] = b;
    }
    volume()
    {
        block pvd{1, 'C', 'D', '0', '0', '1', 1};
        pvd[128] = 0, pvd[129] = 8;  // blocks of 2048 bytes
        const bytes root = record(std::string(1, '\0'), 45020, 2048, true);
        std::copy(root.begin(), root.end(), pvd.begin() + 156);
        blocks[45016] = pvd;
    }
};

std::string walked(const volume& v)
{
    const block_reader read = [&v](std::uint32_t lba, std::uint8_t* b, std::string& why) {
        const auto at = v.blocks.find(lba);
        std::memset(b, 0, 2048);
        if (at != v.blocks.end()) std::memcpy(b, at->second.data(), 2048);
        why = "no sector";
        return lba < v.end;
    };
    const track_room room = [&v](std::uint32_t lba) { return lba >= 45000 && lba < v.end ? v.end - lba : 0; };
    iso_record root{};
    std::vector<disc_entry> entries;
    std::string why;
    if (!find_root(read, 45016, root, why) || !walk_disc(read, room, root, entries, why)) return why;
    std::ostringstream list;
    for (const disc_entry& e : entries) list << e.path << (e.folder ? "/ " : e.outside ? "! " : " ");
    return list.str();
}

TEST(Disc, WalksTheFoldersDepthFirstAsRecorded)
{
    const bytes dot = record(std::string(1, '\0'), 45020, 2048, true),
                up = record(std::string(1, '\1'), 45020, 2048, true);
    const auto with = [&](std::vector<bytes> root, std::vector<bytes> sub = {}) {
        volume v;
        root.insert(root.begin(), {dot, up});
        v.folder(45020, root);
        v.folder(45021, sub);
        return v;
    };
    const bytes sub = record("SUB", 45021, 2048, true);
    volume deep = with({record("D1", 45030, 2048, true)});
    for (std::uint32_t i = 1; i <= 8; ++i) {
        std::string name = "D";
        name += std::to_string(i + 1);
        deep.folder(45029 + i, {record(name, 45030 + i, 2048, true)});
    }
    bytes twice = record("X.SFD;1", 45040, 100, false);
    twice[10] ^= 1;  // the little-endian length no longer the big-endian one
    const std::tuple<volume, std::string> rows[] = {
        {with({record("B.SFD;1", 45040, 4096, false), sub, record("NOEXT.;1", 45041, 1, false)},
              {record("C.SFD;1", 45042, 0, false), record("LONG.SFD", 45043, 0x1234567, false)}),
         "B.SFD SUB/ SUB/C.SFD SUB/LONG.SFD NOEXT "},
        {with({record("LOOP", 45020, 2048, true)}), "the folder LOOP is a folder met before: folders loop"},
        {deep, "the folder D1/D2/D3/D4/D5/D6/D7/D8 nests deeper than 8"},
        {with({record("FAR.SFD", 45100, 10, false), record("NONE.SFD", 0, 0, false),
               record("B.SFD", 45099, 9999, false)}),
         "FAR.SFD! NONE.SFD B.SFD "},
        {with({record("OUT", 45100, 2048, true)}), "the folder OUT lies outside the data tracks"},
        {with({record("BIG", 45021, 2048 * 80, true)}), "the folder BIG lies outside the data tracks"},
        {with({record("HUGE", 45021, 2 * 1024 * 1024, true)}), "the folder HUGE is larger than any folder of a disc"},
        {with({twice}), "a record of the root folder is damaged or runs past its sector"},
        {with({record("A/B.SFD", 45040, 10, false)}), "a record of the root folder is damaged or runs past its sector"},
        {with({record("..", 45040, 10, true)}), "a record of the root folder is damaged or runs past its sector"},
        {with({sub}, {record("X.SFD", 45040, 10, false), bytes{255}}),
         "a record of the folder SUB is damaged or runs past its sector"},
    };
    for (const auto& [v, expected] : rows) EXPECT_EQ(walked(v), expected);
    volume none;
    none.blocks[45016][1] = 'X';
    EXPECT_EQ(walked(none), "no ISO 9660 volume descriptor at sector 45016");
}

// A raw sector with a header: sync (or none), minute, second and frame as
// stored, and the mode.
bytes raw_sector(std::uint8_t m, std::uint8_t s, std::uint8_t f, std::uint8_t mode = 1, bool sync = true)
{
    bytes sector(2352, 0);
    if (sync) std::fill(sector.begin() + 1, sector.begin() + 11, 0xFF);
    sector[12] = m, sector[13] = s, sector[14] = f, sector[15] = mode;
    return sector;
}

// The header of the sector at lba, as a drive writes it.
bytes header_of(std::uint32_t lba, std::uint8_t mode = 1, bool sync = true)
{
    const std::uint32_t frames = lba + 150;
    const auto digits = [](std::uint32_t v) { return static_cast<std::uint8_t>(v / 10 << 4 | v % 10); };
    return raw_sector(digits(frames / 4500), digits(frames / 75 % 60), digits(frames % 75), mode, sync);
}

TEST(Disc, SectorHeadersGiveTheirAddress)
{
    // Minute, second, frame, mode, sync: the address, or -1 for none.
    const std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, bool, std::int64_t> rows[] = {
        {0x10, 0x02, 0x00, 1, 1, 45000},  {0x00, 0x02, 0x00, 1, 1, 0},      {0x00, 0x01, 0x74, 1, 1, -1},
        {0x99, 0x59, 0x74, 1, 1, 449849}, {0xA0, 0x00, 0x00, 1, 1, 449850}, {0xC2, 0x03, 0x74, 1, 1, 549149},
        {0xD0, 0x00, 0x00, 1, 1, -1},     {0x1A, 0x00, 0x00, 1, 1, -1},     {0x10, 0x60, 0x00, 1, 1, -1},
        {0x10, 0x00, 0x75, 1, 1, -1},     {0x10, 0x0A, 0x00, 1, 1, -1},     {0x10, 0x02, 0x00, 0, 1, -1},
        {0x10, 0x02, 0x00, 2, 1, 45000},  {0x10, 0x02, 0x00, 3, 1, -1},     {0x10, 0x02, 0x16, 1, 0, 45016}};
    for (const auto& [m, s, f, mode, sync, expected] : rows) {
        const bytes sector = raw_sector(m, s, f, mode, sync);
        std::uint32_t lba = 0;
        EXPECT_EQ(sector_address(sector.data(), lba) ? std::int64_t{lba} : -1, expected) << int{m} << " " << int{s};
    }
    bytes broken = raw_sector(0x10, 0x02, 0x00);
    broken[5] = 0xFE;
    std::uint32_t lba = 0;
    EXPECT_FALSE(sector_address(broken.data(), lba));
}

// Where settling places a raw data track that the descriptor puts at 600,
// its sectors being, from its first stored one on: h a header of its true
// start 45000 + k, o a header one further, 0 zeros, m a header in a sector of
// mode 0, n a header without sync; more zeros after them.
TEST(Disc, RawDataTracksArePlacedByTheirHeaders)
{
    const std::pair<std::string, std::uint32_t> rows[] = {
        {"hhhh", 45000},
        {"000hhhh", 45000},
        {"0m0hhhh", 45000},
        {"hnhh", 45000},
        {"hhhoh", 600},
        {"ohhh", 600},
        {"hhh", 600},
        {"", 600},
        {std::string(996, '0') + "hhhh", 45000},
        {std::string(997, '0') + "hhhh", 600},
    };
    for (const auto& [sectors, expected] : rows) {
        disc_image image;
        image.tracks = {{3, 600, 2000, 2352, true, "t", 0}};
        const stored_reader read = [kinds = sectors, s = bytes()](const disc_track&, std::uint32_t k,
                                                                  const std::uint8_t*& sector) mutable {
            const char kind = k < kinds.size() ? kinds[k] : '0';
            s = kind == '0'   ? bytes(2352, 0)
                : kind == 'm' ? header_of(45000 + k, 0)
                : kind == 'n' ? header_of(45000 + k, 1, false)
                              : header_of(45000 + k + (kind == 'o'));
            sector = s.data();
            return true;
        };
        std::string why;
        ASSERT_TRUE(settle_tracks(image, read, why)) << why;
        EXPECT_EQ(image.tracks[0].first, expected) << sectors;
        EXPECT_EQ(image.volume_start, expected) << sectors;
    }
    // A track placed later keeps no address past the last there is.
    disc_image image;
    image.tracks = {{3, 600, UINT32_MAX - 600, 2352, true, "t", 0}};
    const stored_reader read = [s = bytes()](const disc_track&, std::uint32_t k, const std::uint8_t*& sector) mutable {
        s = header_of(45000 + k);
        sector = s.data();
        return true;
    };
    std::string why;
    ASSERT_TRUE(settle_tracks(image, read, why));
    EXPECT_EQ(image.tracks[0].count, UINT32_MAX - 45000);
}

// The tracks a descriptor gives, settled without headers: the volume's
// start, then first sector, sectors, sector size, data, file, offset.
std::string tracks_of(bool gdi, const std::string& text, std::map<std::string, std::uint64_t> sizes)
{
    const file_size_of size_of = [&sizes](const std::string& name, std::uint64_t& size, std::string& why) {
        why = name + ": missing";
        return sizes.count(name) != 0 && (size = sizes[name], true);
    };
    const stored_reader no_headers = [](const disc_track&, std::uint32_t, const std::uint8_t*&) { return false; };
    disc_image image;
    std::string why;
    if (!(gdi ? parse_gdi : parse_cue)(text, size_of, image, why) || !settle_tracks(image, no_headers, why)) return why;
    std::ostringstream list;
    list << image.volume_start << ":";
    for (const disc_track& t : image.tracks)
        list << " " << t.first << "+" << t.count << "x" << t.sector_bytes << (t.data ? "d" : "a") << "@" << t.file
             << "+" << t.offset;
    return list.str();
}

TEST(Disc, DescriptorsGiveTheTrackTable)
{
    constexpr std::uint64_t raw = 2352;
    // The five-track disc of the published form: pregaps in the files (150 and 225 sectors).
    const std::string redump =
        "REM SINGLE-DENSITY AREA\nFILE \"1.bin\" BINARY\n TRACK 01 MODE1/2352\n INDEX 01 00:00:00\n"
        "FILE \"2.bin\" BINARY\n TRACK 02 AUDIO\n INDEX 00 00:00:00\n INDEX 01 00:02:00\n"
        "REM HIGH-DENSITY AREA\nFILE \"3.bin\" BINARY\n TRACK 03 MODE1/2352\n INDEX 01 00:00:00\n"
        "FILE \"4.bin\" BINARY\n TRACK 04 AUDIO\n INDEX 00 00:00:00\n INDEX 01 00:02:00\n"
        "FILE \"5.bin\" BINARY\n TRACK 05 MODE1/2352\n INDEX 00 00:00:00\n INDEX 01 00:03:00\n";
    const std::map<std::string, std::uint64_t> five = {
        {"1.bin", 300 * raw}, {"2.bin", 450 * raw}, {"3.bin", 1000 * raw}, {"4.bin", 550 * raw}, {"5.bin", 1025 * raw}};
    const std::string five_tracks =
        "45000: 0+300x2352d@1.bin+0 450+300x2352a@2.bin+352800 "
        "45000+1000x2352d@3.bin+0 46150+400x2352a@4.bin+352800 "
        "46775+800x2352d@5.bin+529200";
    EXPECT_EQ(tracks_of(false, redump, five), five_tracks);
    // The lines that real sheets carry besides, which move no sector; a folder written with a backslash.
    std::string carried =
        "CATALOG 0000000000000\nCDTEXTFILE \"x.cdt\"\nTITLE \"A B\"\nPERFORMER \"C\"\n"
        "SONGWRITER \"D\"\nREM GENRE Game\n" +
        redump;
    carried.insert(carried.find(" INDEX 01 00:02:00"), " FLAGS DCP 4CH PRE SCMS\n ISRC USABC0000001\n");
    carried.replace(carried.find("\"5.bin\""), 7, "\"d\\5.bin\"");
    auto in_folder = five;
    in_folder["d/5.bin"] = in_folder["5.bin"];
    EXPECT_EQ(tracks_of(false, carried, in_folder),
              std::string(five_tracks).replace(five_tracks.rfind('@'), 6, "@d/5.bin"));
    // Without the area remarks: an ordinary CD; several tracks in one file, a PREGAP, 2048-byte sectors.
    EXPECT_EQ(tracks_of(false,
                        "FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nFILE \"b.bin\" BINARY\n"
                        "TRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:00:00\nTRACK 03 AUDIO\nINDEX 00 00:01:00\n"
                        "INDEX 01 00:01:10\n",
                        {{"a.bin", 100 * 2048}, {"b.bin", 200 * raw}}),
              "0: 0+100x2048d@a.bin+0 250+75x2352a@b.bin+0 335+115x2352a@b.bin+199920");
    // Sessions: each after the gap that the one before leaves (90 s of lead-out after the first, 30 s after
    // a later one, 60 s of lead-in, a 2 s pregap), or as remarks give its parts.
    const std::string sessions =
        "REM SESSION 01\nFILE a BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nREM SESSION 02\n"
        "FILE b BINARY\nTRACK 02 MODE2/2352\nINDEX 01 00:00:00\nREM SESSION 03\n"
        "FILE c BINARY\nTRACK 03 MODE2/2352\nINDEX 01 00:00:00\n";
    const std::map<std::string, std::uint64_t> three = {{"a", 302 * raw}, {"b", 100 * raw}, {"c", 10 * raw}};
    EXPECT_EQ(tracks_of(false, sessions, three), "18702: 0+302x2352a@a+0 11702+100x2352d@b+0 18702+10x2352d@c+0");
    std::string remarks = sessions;
    remarks.insert(remarks.find("REM SESSION 02"), "REM LEAD-OUT 00:30:00\n");
    remarks.insert(remarks.find("FILE b"), "REM LEAD-IN 00:01:00\nREM PREGAP 00:00:10\n");
    EXPECT_EQ(tracks_of(false, remarks, three), "9637: 0+302x2352a@a+0 2637+100x2352d@b+0 9637+10x2352d@c+0");
    EXPECT_EQ(tracks_of(true,
                        "\xEF\xBB\xBF"
                        "3\r\n1 0 4 2352 a 0\r\n2 600 0 2352 \"b c\" 0\r\n3 45000 4 2048 tracks\\d 4096\r\n\r\n",
                        {{"a", 300 * raw + 5}, {"b c", 300 * raw}, {"tracks/d", 4096 + 1211 * 2048}}),
              "45000: 0+300x2352d@a+0 600+300x2352a@b c+0 45000+1211x2048d@tracks/d+4096");
    // An audio track's address is not checked: it holds nothing that is read.
    EXPECT_EQ(tracks_of(true, "2\n1 0 4 2048 a 0\n2 50 0 2352 b 0\n", {{"a", 100 * 2048}, {"b", raw}}),
              "0: 0+100x2048d@a+0 50+1x2352a@b+0");
    // Refused: data tracks that overlap or come in the wrong order, a count line or number out of range, a
    // cue line of another form, a track without INDEX 01.
    const std::tuple<bool, std::string, std::string> refused[] = {
        {true, "2\n1 0 4 2352 a 0\n2 100 4 2352 b 0\n", "a: track 1 runs into track 2"},
        {true, "2\n1 100 4 2352 a 0\n2 100 4 2352 b 0\n", "b: track 2 lies before track 1"},
        {true, "\r\n \n", "line 3: not the number of tracks (1 to 99): \"\""},
        {true, "0\n", "line 1: not the number of tracks (1 to 99): \"0\""},
        {true, "100\n", "line 1: not the number of tracks (1 to 99): \"100\""},
        {true, "1 1\n", "line 1: not the number of tracks (1 to 99): \"1 1\""},
        {true, "1\n1 0 4 2048 a 0\nx\n", "line 3: a line after the last track: \"x\""},
        {true, "1\n2 0 4 2048 a 0\n", "line 2: not the next track: \"2 0 4 2048 a 0\""},
        {true, "1\n1 0 4 2048 a 18446744073709551617\n",
         "line 2: not a track (number, first sector, type 4 or 0, sector size 2352 or 2048, file, offset): "
         "\"1 0 4 2048 a 18446744073709551617\""},
        {false, "FILE \"a\" WAVE\n", "line 1: this program reads FILE \"NAME\" BINARY: \"FILE \"a\" WAVE\""},
        {false, "FILE \"a\" BINARY\nTRACK 01 AUDIO\n", "track 1 has no INDEX 01"},
        {false, "INDEX 01 00:00:00\n", "line 1: an index outside a track: \"INDEX 01 00:00:00\""},
        {false, "TRACK 01 AUDIO\n", "line 1: a track before any FILE: \"TRACK 01 AUDIO\""},
        {false, "FILE \"a\" BINARY\nTRACK 100 AUDIO\n",
         "line 2: this program reads TRACK NN MODE1/2352, MODE2/2352, MODE1/2048 or AUDIO: \"TRACK 100 AUDIO\""},
        {false, "FILE \"a\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 00:02:00\n",
         "line 4: this program does not read this line: \"POSTGAP 00:02:00\""},
    };
    for (const auto& [gdi, text, expected] : refused)
        EXPECT_EQ(tracks_of(gdi, text, {{"a", 101 * raw}, {"b", raw}}), expected) << text;
}

}  // namespace
