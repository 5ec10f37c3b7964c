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
#include "threads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

bool place_chd(const std::string& path, std::uint64_t size, disc_image& image, std::string& why)
{
    owned_file f(path.c_str(), "rb", false);
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

namespace {

// Hunks decoded ahead of the one read in order: at most so many, by at most
// so many helpers (fewer when the thread budget is smaller).
constexpr std::size_t hunks_ahead = 4;

}  // namespace

chd_reader::chd_reader(const std::string& path, const chd_layout& chd) : path_(path), chd_(chd), ahead_(hunks_ahead) {}

chd_reader::~chd_reader()
{
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
        changed_.notify_all();  // under the lock, as race checkers such as helgrind expect
    }
    for (std::thread& helper : helpers_) helper.join();
}

bool chd_reader::read_frame(std::uint32_t frame, std::uint8_t*& sector, std::string& why)
{
    const std::uint32_t hunk = frame / chd_.frames_per_hunk;
    if (hunk != current_) {
        const bool in_order = hunk == current_ + 1;
        current_ = UINT32_MAX;
        bool ok = false;
        if (!take_ahead(hunk, ok, why)) ok = decode(own_, hunk, data_, why);
        if (!ok) return false;
        current_ = hunk;
        if (in_order) want_ahead(hunk);
    }
    sector = data_.data() + std::size_t{frame % chd_.frames_per_hunk} * chd_frame_bytes;
    return true;
}

// The hunk as a helper decoded it, waiting for one that is decoding it;
// false when no helper has it (a helper that was to decode it leaves it).
bool chd_reader::take_ahead(std::uint32_t hunk, bool& ok, std::string& why)
{
    std::unique_lock<std::mutex> hold(mutex_);
    for (ahead& a : ahead_) {
        if (a.state == ahead::free || a.hunk != hunk) continue;
        if (a.state == ahead::wanted) {
            a.state = ahead::free;
            return false;
        }
        changed_.wait(hold, [&a] { return a.state != ahead::decoding; });
        if (a.state != ahead::done) return false;
        ok = a.ok;
        why = a.why;
        data_.swap(a.data);
        a.state = ahead::free;
        return true;
    }
    return false;
}

// Asks the helpers for the hunks after hunk; those of hunks before it, decoded
// for a read that went elsewhere, are dropped. Starts the helpers the
// budget allows.
void chd_reader::want_ahead(std::uint32_t hunk)
{
    if (!threads_can_start()) return;
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        for (ahead& a : ahead_)
            if (a.state != ahead::decoding && a.hunk <= hunk) a.state = ahead::free;
        for (std::uint32_t next = hunk + 1; next <= hunk + hunks_ahead && next < chd_.hunks.size(); ++next) {
            const auto held = [next](const ahead& a) { return a.state != ahead::free && a.hunk == next; };
            const auto room = [](const ahead& a) { return a.state == ahead::free; };
            if (std::any_of(ahead_.begin(), ahead_.end(), held)) continue;
            const auto a = std::find_if(ahead_.begin(), ahead_.end(), room);
            if (a == ahead_.end()) break;
            a->state = ahead::wanted;
            a->hunk = next;
        }
        changed_.notify_all();
    }
    const std::size_t helpers = std::min<std::size_t>(hunks_ahead, thread_budget());
    while (helpers_.size() < helpers) helpers_.emplace_back([this] { help(); });
}

// A helper: decodes the first hunk wanted while it holds a free slot of the
// budget, or leaves it to the reading thread when none is free.
void chd_reader::help()
{
    decoder d;
    std::vector<std::uint8_t> out;
    std::string why;
    for (;;) {
        ahead* a = nullptr;
        std::uint32_t hunk = 0;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            const auto wanted = [this] {
                return std::find_if(ahead_.begin(), ahead_.end(),
                                    [](const ahead& e) { return e.state == ahead::wanted; });
            };
            changed_.wait(hold, [&] { return stop_ || wanted() != ahead_.end(); });
            if (stop_) return;
            a = &*wanted();
            a->state = ahead::decoding;
            hunk = a->hunk;
        }
        const bool slot = try_take_thread_slot();
        const bool ok = slot && decode(d, hunk, out, why);
        if (slot) give_thread_slot();
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            a->state = slot ? ahead::done : ahead::free;
            a->ok = ok;
            a->why = why;
            a->data.swap(out);
            changed_.notify_all();
        }
    }
}

bool chd_reader::decode(decoder& d, std::uint32_t hunk, std::vector<std::uint8_t>& out, std::string& why) const
{
    const auto damaged = [&why](std::uint32_t h) {
        why = "hunk " + std::to_string(h) + " is damaged";
        return false;
    };
    std::uint32_t source = hunk;
    while (source < chd_.hunks.size() && chd_.hunks[source].type == self_copy)
        source = static_cast<std::uint32_t>(chd_.hunks[source].offset);  // always an earlier hunk
    if (source >= chd_.hunks.size()) return damaged(hunk);
    const chd_hunk& h = chd_.hunks[source];
    out.assign(chd_.hunk_bytes, 0);
    if (h.type == uncompressed && h.offset == 0 && !chd_.checked) return true;  // not stored: zeros
    d.packed.resize(h.length);
    if (!d.file && !d.file.open(path_.c_str(), "rb", false)) {
        why = error_text(d.file.open_error());
        return false;
    }
    if (!seek_file(d.file.get(), h.offset) ||
        std::fread(d.packed.data(), 1, d.packed.size(), d.file.get()) != d.packed.size()) {
        why = std::ferror(d.file.get()) != 0 ? error_text(errno) : "hunk " + std::to_string(source) + " is damaged";
        return false;
    }
    if (h.type == uncompressed) {
        std::memcpy(out.data(), d.packed.data(), d.packed.size());
    } else if (!unpack_hunk(chd_.codecs[h.type], d.packed.data(), d.packed.size(), chd_.frames_per_hunk, out.data(),
                            d.room)) {
        return damaged(source);
    }
    if (chd_.checked && crc16(out.data(), out.size()) != h.crc) return damaged(source);
    return true;
}
