// make_cdi OUT.cdi VERSION FORM TRACK...
// Writes a DiscJuggler image of the tracks given, as DiscJuggler lays it out:
// each track's sectors after a pregap of 150, one after another, then the
// descriptor of its sessions and tracks, then the trailer. VERSION is 2.0,
// 3.0 (its data tracks' blocks with the 8 bytes that a non-zero first word
// adds), 3.0short (its blocks without the 78-byte extension) or 3.5 (its
// first track's block with a CD-Text block); FORM the stored form of the
// data tracks: 2048 (mode 1, user
// data alone), 2336 (mode 2 without sync and header), 2352 (mode 2, raw) or
// 2352m1 (mode 1, raw). Each TRACK is SESSION,LBA,FILE: its session (from 1),
// the address of its first sector after the pregap, and a file of its raw
// 2352-byte sectors as make_disc writes them (audio, or mode 2 form 1 data,
// which FORM turns into its own). Pregaps are empty sectors of the track's
// form at the addresses before it.
#include "cd_sectors.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t pregap = 150;
constexpr std::uint8_t mark[10] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
const std::string image_name = "C:\\CDI\\image.cdi";

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "make_cdi: %s\n", why.c_str());
    std::exit(1);
}

bytes read_file(const std::string& path)
{
    bytes data;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) fail("can't read " + path);
    for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return data;
}

void put(bytes& out, std::uint32_t value, int n)
{
    for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void zeros(bytes& out, std::size_t n)
{
    out.insert(out.end(), n, 0);
}

struct track {
    std::uint32_t session, lba;
    bool audio;
    bytes raw;  // its sectors after the pregap, raw
};

// The form's mode, read mode and bytes a sector; audio is always raw.
struct form {
    std::uint32_t mode, read_mode, size;
};

// Sector i of the track as stored: its pregap's first, else its own.
void put_sector(bytes& out, const track& t, const form& f, std::uint32_t i)
{
    std::uint8_t s[cd::raw_bytes] = {};
    const std::uint32_t lba = t.lba - pregap + i;
    if (t.audio) {
        if (i >= pregap) std::memcpy(s, &t.raw[(i - pregap) * cd::raw_bytes], cd::raw_bytes);
        out.insert(out.end(), s, s + cd::raw_bytes);
        return;
    }
    const std::uint8_t* user = i >= pregap ? &t.raw[(i - pregap) * cd::raw_bytes + 24] : nullptr;
    if (f.mode == 1) cd::data_sector(s, lba, 1, user, user != nullptr ? cd::user_bytes : 0);
    if (f.mode == 2 && user != nullptr) std::memcpy(s, &t.raw[(i - pregap) * cd::raw_bytes], cd::raw_bytes);
    if (f.mode == 2 && user == nullptr) cd::form2_sector(s, lba);
    const std::size_t from = f.size == 2048 ? static_cast<std::size_t>(f.mode == 1 ? 16 : 24) : cd::raw_bytes - f.size;
    out.insert(out.end(), s + from, s + from + f.size);
}

// The parts of a track block up to its index lengths (also the opening of the
// disc block); extra: a non-zero first word, and the 8 bytes it adds.
void put_opening(bytes& d, bool v35, std::size_t tracks, bool extra = false)
{
    put(d, extra ? 1 : 0, 4);
    if (extra) zeros(d, 8);
    d.insert(d.end(), mark, mark + sizeof mark);
    d.insert(d.end(), mark, mark + sizeof mark);
    d.insert(d.end(), {0x64, 0x05, 0x2A, static_cast<std::uint8_t>(tracks)});
    d.push_back(static_cast<std::uint8_t>(image_name.size()));
    d.insert(d.end(), image_name.begin(), image_name.end());
    zeros(d, 11);
    d.push_back(2);
    zeros(d, 7);
    put(d, v35 ? 0x80000000 : 0, 4);
    if (v35) {
        put(d, 360000, 4);  // the capacity: 80 minutes
        zeros(d, 2);
        put(d, 0x0098, 2);  // a CD
    }
}

// A CD-Text block: 18 fields of a length and its bytes, the tenth the title.
void put_cd_text(bytes& d)
{
    for (int field = 0; field < 18; ++field) {
        const std::string text = field == 10 ? "TITLE" : "";
        d.push_back(static_cast<std::uint8_t>(text.size()));
        d.insert(d.end(), text.begin(), text.end());
    }
}

void put_track_block(bytes& d, const std::string& version, const track& t, const form& f, std::uint32_t index,
                     std::size_t tracks, bool first)
{
    const auto length = static_cast<std::uint32_t>(t.raw.size() / cd::raw_bytes);
    put_opening(d, version == "3.5", tracks, version == "3.0" && !t.audio);
    put(d, 2, 2);
    put(d, pregap, 4);
    put(d, length, 4);
    const bool cd_text = version == "3.5" && first;
    put(d, cd_text ? 1 : 0, 4);
    if (cd_text) put_cd_text(d);
    zeros(d, 2);
    put(d, t.audio ? 0 : f.mode, 4);
    zeros(d, 4);
    put(d, t.session - 1, 4);
    put(d, index, 4);
    put(d, t.lba, 4);  // start: the address of the pregap's first sector, plus 150
    put(d, pregap + length, 4);
    zeros(d, 16);
    put(d, t.audio ? 2 : f.read_mode, 4);
    put(d, t.audio ? 0 : 4, 4);
    zeros(d, 1);
    put(d, pregap + length, 4);
    zeros(d, 4 + 12 + 4);
    if (version == "2.0") return;
    zeros(d, 1);
    put(d, 0xFFFFFFFF, 4);
    if (version == "3.0short") {
        put(d, 0, 4);  // no extension
        return;
    }
    put(d, 0xFFFFFFFF, 4);  // the extension follows
    for (const std::uint32_t v : {1u, 0x80u, 2u, 0x10u, 44100u}) put(d, v, 4);
    zeros(d, 42);
    put(d, 0xFFFFFFFF, 4);
    zeros(d, 12);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: make_cdi OUT.cdi 2.0|3.0|3.0short|3.5 2048|2336|2352|2352m1 SESSION,LBA,FILE ...\n");
        return 2;
    }
    const std::string version = argv[2], form_name = argv[3];
    if (version != "2.0" && version != "3.0" && version != "3.0short" && version != "3.5")
        fail("no such version: " + version);
    const form f = form_name == "2048"   ? form{1, 0, 2048}
                   : form_name == "2336" ? form{2, 1, 2336}
                   : form_name == "2352" ? form{2, 2, 2352}
                                         : form{1, 2, 2352};
    std::vector<track> tracks;
    for (int i = 4; i < argc; ++i) {
        track t{};
        char file[4096] = {};
        if (std::sscanf(argv[i], "%u,%u,%4095[^\n]", &t.session, &t.lba, file) != 3)
            fail("no track: " + std::string(argv[i]));
        t.raw = read_file(file);
        t.audio = t.raw.size() < 16 || t.raw[0] != 0 || t.raw[1] != 0xFF;
        tracks.push_back(t);
    }
    bytes out;
    for (const track& t : tracks)
        for (std::uint32_t i = 0; i < pregap + t.raw.size() / cd::raw_bytes; ++i) put_sector(out, t, f, i);
    const std::size_t start = out.size();
    bytes d;
    const std::uint32_t sessions = tracks.back().session;
    put(d, sessions, 2);
    for (std::uint32_t s = 1; s <= sessions; ++s) {
        std::uint32_t count = 0, first = 0;
        for (const track& t : tracks) count += t.session == s;
        put(d, count, 2);
        std::uint32_t index = 0;
        bool audio = true;
        for (const track& t : tracks) {
            if (t.session != s) continue;
            if (index == 0) first = t.lba;
            audio = audio && t.audio;
            put_track_block(d, version, t, f, index++, tracks.size(), &t == &tracks.front());
        }
        d.push_back(audio ? 0 : 2);  // the session's type: CD-DA or CD-ROM XA
        zeros(d, 7);
        put(d, first, 4);
        if (version != "2.0") zeros(d, 1);
    }
    put(d, 0, 2);  // no more sessions
    // The disc block: its size in sectors, the volume's name, the catalogue number, no CD-Text.
    put_opening(d, version == "3.5", tracks.size());
    put(d, static_cast<std::uint32_t>(tracks.back().lba + tracks.back().raw.size() / cd::raw_bytes), 4);
    const std::string volume = "CDROM";
    d.push_back(static_cast<std::uint8_t>(volume.size()));
    d.insert(d.end(), volume.begin(), volume.end());
    zeros(d, 1);
    put(d, 1, 4);
    put(d, 1, 4);
    zeros(d, 13 + 4 + 4 + 8);
    const std::uint32_t code = version == "2.0" ? 0x80000004 : version == "3.5" ? 0x80000006 : 0x80000005;
    out.insert(out.end(), d.begin(), d.end());
    put(out, code, 4);
    put(out, static_cast<std::uint32_t>(version == "3.5" ? out.size() + 4 - start : start), 4);
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() || std::fclose(file) != 0)
        fail(std::string("can't write ") + argv[1]);
    return 0;
}
