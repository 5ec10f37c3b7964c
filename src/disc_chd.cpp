// A .chd: MAME's compressed hunks of data, version 5, of a CD or GD-ROM. Its
// tracks, as its metadata lists them, lie one after another in its frames of
// 2352 sector bytes and 96 subcode bytes, each padded to a multiple of four
// frames; its hunks are read as the passes reach them, decompressed and
// checked against the CRC-16 that its map records. The container, the codecs
// and the regeneration of stripped sectors are below (chd.h).
#include "disc.h"

#include "chd.h"
#include "messages.h"
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <memory>

bool place_chd(const std::string& path, std::uint64_t size, disc_image& image, std::string& why)
{
    file_handle f(path.c_str(), "rb", false);
    if (!f) {
        why = error_text(f.open_error());
        return false;
    }
    auto chd = std::make_shared<chd_layout>();
    std::vector<chd_track> tracks;
    if (!read_chd(f.get(), path, size, *chd, tracks, why)) return false;
    // Tracks lie one after another in the frames, each padded to a multiple
    // of four frames. A pregap takes addresses before the track's first
    // frame unless it is stored (its type marked V) as the first frames.
    std::uint64_t lba = 0, frame = 0;
    for (const chd_track& t : tracks) {
        const bool raw = t.type == "MODE1_RAW" || t.type == "MODE2_RAW";
        const bool cooked = t.type == "MODE1" || t.type == "MODE2_FORM1";
        const std::uint32_t stored = t.pregap_stored ? t.pregap : 0;
        if (!t.pregap_stored) lba += t.pregap;
        if (raw || cooked)
            image.tracks.push_back({t.number, static_cast<std::uint32_t>(lba + stored), t.frames - t.pad - stored,
                                    raw ? raw_sector_bytes : block_bytes, true, path, frame + stored});
        lba += std::uint64_t{t.frames} + t.postgap;
        frame += t.frames + (4 - t.frames % 4) % 4;
    }
    if (image.tracks.empty()) {
        why = "its metadata describes no data track";
        return false;
    }
    if (frame * chd_frame_bytes > chd->hunks.size() * std::uint64_t{chd->hunk_bytes} || lba > UINT32_MAX) {
        why = "its tracks run past its hunks";
        return false;
    }
    image.chd = chd;
    return true;
}

// ---------------------------------------------------------------------------
// Reading hunks

bool chd_reader::read_frame(std::uint32_t frame, std::uint8_t*& sector, std::string& why)
{
    const std::uint32_t hunk = frame / chd_.frames_per_hunk;
    if (hunk != current_ && !decode(hunk, why)) return false;
    sector = data_.data() + std::size_t{frame % chd_.frames_per_hunk} * chd_frame_bytes;
    return true;
}

bool chd_reader::decode(std::uint32_t hunk, std::string& why)
{
    current_ = UINT32_MAX;
    const auto damaged = [&why](std::uint32_t h) {
        why = "hunk " + std::to_string(h) + " is damaged";
        return false;
    };
    std::uint32_t source = hunk;
    while (source < chd_.hunks.size() && chd_.hunks[source].type == self_copy)
        source = static_cast<std::uint32_t>(chd_.hunks[source].offset);  // always an earlier hunk
    if (source >= chd_.hunks.size()) return damaged(hunk);
    const chd_hunk& h = chd_.hunks[source];
    data_.assign(chd_.hunk_bytes, 0);
    if (h.type == uncompressed && h.offset == 0 && !chd_.checked) {
        current_ = hunk;  // not stored: zeros
        return true;
    }
    packed_.resize(h.length);
    if (!file_ && !file_.open(path_.c_str(), "rb", false)) {
        why = error_text(file_.open_error());
        return false;
    }
    if (!seek_file(file_.get(), h.offset) ||
        std::fread(packed_.data(), 1, packed_.size(), file_.get()) != packed_.size()) {
        why = std::ferror(file_.get()) != 0 ? error_text(errno) : "hunk " + std::to_string(source) + " is damaged";
        return false;
    }
    if (h.type == uncompressed) {
        std::memcpy(data_.data(), packed_.data(), packed_.size());
    } else if (!room_) {
        room_ = std::make_shared<unpack_room>();
    }
    if (h.type != uncompressed &&
        !unpack_hunk(chd_.codecs[h.type], packed_.data(), packed_.size(), chd_.frames_per_hunk, data_.data(), *room_)) {
        return damaged(source);
    }
    if (chd_.checked && crc16(data_.data(), data_.size()) != h.crc) return damaged(source);
    current_ = hunk;
    return true;
}
