// make_chd OUT.chd TAG TRACK...
// Writes an uncompressed CHD (version 5) of a CD or GD-ROM whose track
// metadata is exactly what the arguments say, so that the tests can read the
// layouts of chdman versions that are not at hand. TAG is the metadata tag
// of every track (CHGD for a GD-ROM, CHT2 for a CD); each TRACK is
//   TYPE,PREGAP,PGTYPE,PAD,FILE
// TYPE being MODE1_RAW or AUDIO (2352-byte sectors in FILE) or MODE1 (2048),
// PREGAP and PGTYPE what the metadata says of the pregap (a PGTYPE that
// starts with V: the pregap is the first PREGAP sectors of FILE; else it
// takes addresses but no frames), PAD zero frames after the file's sectors
// (CHGD only). A track's frames are its file's sectors, then PAD zero frames,
// then zero frames up to a multiple of four; audio is stored big-endian,
// subcode is zeros. Hunks of eight frames; a hunk of zeros is not stored.
// Like chdman's uncompressed CHDs, its SHA-1 fields are zeros.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr std::size_t frame_bytes = 2448;  // 2352 sector bytes and 96 subcode bytes
constexpr std::size_t sector_bytes = 2352;
constexpr std::size_t frames_per_hunk = 8;
constexpr std::size_t hunk_bytes = frames_per_hunk * frame_bytes;
constexpr std::size_t header_bytes = 124;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "make_chd: %s\n", why.c_str());
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

void put_be(bytes& out, std::size_t at, std::uint64_t value, int n)
{
    for (int i = 0; i < n; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * (n - 1 - i)));
}

struct track {
    std::string type, pgtype, file;
    unsigned long pregap, pad;
};

track parse_track(const std::string& arg)
{
    track t;
    std::size_t at = 0;
    std::string fields[4];
    for (std::string& field : fields) {
        const std::size_t comma = arg.find(',', at);
        if (comma == std::string::npos) fail("a track is TYPE,PREGAP,PGTYPE,PAD,FILE: " + arg);
        field = arg.substr(at, comma - at);
        at = comma + 1;
    }
    t.type = fields[0];
    t.pregap = std::strtoul(fields[1].c_str(), nullptr, 10);
    t.pgtype = fields[2];
    t.pad = std::strtoul(fields[3].c_str(), nullptr, 10);
    t.file = arg.substr(at);
    if (t.type != "MODE1_RAW" && t.type != "AUDIO" && t.type != "MODE1") fail("no such track type: " + t.type);
    return t;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_chd OUT.chd CHGD|CHT2 TYPE,PREGAP,PGTYPE,PAD,FILE ...\n");
        return 2;
    }
    const std::string tag = argv[2];
    if (tag != "CHGD" && tag != "CHT2") fail("the tag is CHGD or CHT2");
    // The frames of every track, one after another, and the metadata texts.
    bytes frames;
    std::vector<std::string> texts;
    for (int i = 3; i < argc; ++i) {
        const track t = parse_track(argv[i]);
        const bytes data = read_file(t.file);
        const std::size_t size = t.type == "MODE1" ? 2048 : sector_bytes;
        const std::size_t sectors = data.size() / size;
        for (std::size_t s = 0; s < sectors; ++s) {
            std::uint8_t frame[frame_bytes] = {};
            std::memcpy(frame, &data[s * size], size);
            if (t.type == "AUDIO")
                for (std::size_t b = 0; b + 1 < sector_bytes; b += 2) std::swap(frame[b], frame[b + 1]);
            frames.insert(frames.end(), frame, frame + frame_bytes);
        }
        const std::size_t count = sectors + t.pad;
        const std::size_t padded = (count + 3) / 4 * 4;
        frames.resize(frames.size() + (padded - sectors) * frame_bytes, 0);
        std::string text =
            "TRACK:" + std::to_string(i - 2) + " TYPE:" + t.type + " SUBTYPE:NONE FRAMES:" + std::to_string(count);
        if (tag == "CHGD") text += " PAD:" + std::to_string(t.pad);
        text += " PREGAP:" + std::to_string(t.pregap) + " PGTYPE:" + t.pgtype + " PGSUB:NONE POSTGAP:0";
        texts.push_back(text);
    }
    const std::size_t logical = frames.size();
    const std::size_t hunks = (logical + hunk_bytes - 1) / hunk_bytes;
    frames.resize(hunks * hunk_bytes, 0);
    // The header, the map (a hunk's place in hunks of the file; 0: zeros), the metadata, then the hunks.
    bytes out(header_bytes + hunks * 4, 0);
    std::memcpy(out.data(), "MComprHD", 8);
    put_be(out, 8, header_bytes, 4);
    put_be(out, 12, 5, 4);
    put_be(out, 32, logical, 8);
    put_be(out, 40, header_bytes, 8);
    put_be(out, 48, out.size(), 8);
    put_be(out, 56, hunk_bytes, 4);
    put_be(out, 60, frame_bytes, 4);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::size_t at = out.size(), length = texts[i].size() + 1;  // the text and its NUL
        out.resize(at + 16 + length, 0);
        std::memcpy(&out[at], tag.data(), 4);
        out[at + 4] = 1;  // in the overall SHA-1
        put_be(out, at + 5, length, 3);
        put_be(out, at + 8, i + 1 < texts.size() ? at + 16 + length : 0, 8);
        std::memcpy(&out[at + 16], texts[i].data(), texts[i].size());
    }
    out.resize((out.size() + hunk_bytes - 1) / hunk_bytes * hunk_bytes, 0);
    for (std::size_t h = 0; h < hunks; ++h) {
        const std::uint8_t* hunk = &frames[h * hunk_bytes];
        bool zeros = true;
        for (std::size_t b = 0; b < hunk_bytes && zeros; ++b) zeros = hunk[b] == 0;
        if (zeros) continue;
        put_be(out, header_bytes + 4 * h, out.size() / hunk_bytes, 4);
        out.insert(out.end(), hunk, hunk + hunk_bytes);
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0)
        fail(std::string("can't write ") + argv[1]);
    return 0;
}
