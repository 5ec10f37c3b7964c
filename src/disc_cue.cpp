// The .cue descriptor in the form published for the console's discs: one
// FILE a track, MODE1/2352, MODE2/2352 and AUDIO tracks, INDEX 00 and 01 as
// offsets in the file, and the remarks that start the single-density area
// (at sector 0) and the high-density area (at 45000), in each of which the
// files follow one another without a gap. Without both remarks it is an
// ordinary CD whose files follow one another from sector 0, each session
// after the gap that the one before leaves (REM SESSION, and the lead-out,
// lead-in and pregap that remarks may give). Also read, where they are
// unambiguous: MODE1/2048, several tracks in one FILE, PREGAP (sectors in no
// file); the lines of catalogue numbers, flags and CD-Text are passed over.
#include "disc.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::string_view single_density_remark = "REM SINGLE-DENSITY AREA";
constexpr std::string_view high_density_remark = "REM HIGH-DENSITY AREA";
// The sectors between two sessions, in no file: the lead-out of the one
// before (90 s after the first session, 30 s after a later one), the
// lead-in (60 s) and the pregap (2 s) of the next. Remarks may give them.
constexpr std::uint32_t first_lead_out = 6750;
constexpr std::uint32_t later_lead_out = 2250;
constexpr std::uint32_t lead_in = 4500;
constexpr std::uint32_t session_pregap = 150;
constexpr std::uint64_t max_track_number = 99;
constexpr std::uint64_t max_index = 99;
constexpr std::uint32_t frames_per_second = 75;
// Lines that move no sector: the disc's catalogue number, a track's
// recording code and control flags, CD-Text. They are read and passed over.
constexpr std::string_view ignored_commands[] = {"CATALOG",   "ISRC",       "FLAGS",     "TITLE",
                                                 "PERFORMER", "SONGWRITER", "CDTEXTFILE"};

// A track as the sheet gives it: where its pregap and its data start in its file.
struct cue_track {
    int number;
    bool data;
    std::size_t file;      // index into the files
    std::uint32_t index0;  // INDEX 00 (or INDEX 01 without one): where the track's part of its file starts
    std::uint32_t index1;  // INDEX 01: where its data starts
    bool has_index0;
    bool has_index1;
    std::uint32_t pregap;  // PREGAP sectors, in no file
};

struct cue_file {
    std::string name;
    bool high_density;  // after the high-density remark
    int sector_bytes;   // 0 until its first track says
    std::uint32_t gap;  // sectors in no file before it: a new session's
};

// The session that the sheet is in, and the gap before it, as far as its
// remarks have given them.
struct session_state {
    std::uint64_t number = 1;
    std::uint32_t next_lead_out = 0;  // a REM LEAD-OUT in this session, for the gap after it
    std::uint32_t lead_out = 0, lead_in = 0, pregap = 0;
    bool pending = false;  // a new session, whose first FILE is still to come
};

// "mm:ss:ff" as sectors.
bool parse_msf(std::string_view text, std::uint32_t& sectors)
{
    std::uint64_t m = 0, s = 0, f = 0;
    if (text.size() != 8 || text[2] != ':' || text[5] != ':' || !parse_number(text.substr(0, 2), 99, m) ||
        !parse_number(text.substr(3, 2), 59, s) || !parse_number(text.substr(6, 2), frames_per_second - 1, f))
        return false;
    sectors = static_cast<std::uint32_t>((m * 60 + s) * frames_per_second + f);
    return true;
}

// The fields of a line after its keyword; false when there are more than max.
bool arguments(std::string_view rest, std::vector<std::string_view>& args, std::size_t max)
{
    args.clear();
    for (std::string_view field; next_field(rest, field);) {
        if (args.size() == max) return false;
        args.push_back(field);
    }
    return true;
}

// A remark: those that start the areas of a GD-ROM, a session and the gap before it; others say nothing.
void read_remark(std::string_view line, std::string_view rest, bool& single_density, bool& high_density,
                 session_state& session)
{
    const std::string_view remark = line.substr(line.find("REM"));
    single_density = single_density || remark.substr(0, single_density_remark.size()) == single_density_remark;
    high_density = high_density || remark.substr(0, high_density_remark.size()) == high_density_remark;
    std::vector<std::string_view> args;
    std::uint64_t number = 0;
    std::uint32_t sectors = 0;
    if (!arguments(rest, args, 2) || args.size() != 2) return;
    if (args[0] == "SESSION" && parse_number(args[1], max_track_number, number) && number > session.number) {
        const std::uint32_t lead_out = session.next_lead_out != 0 ? session.next_lead_out
                                       : session.number == 1      ? first_lead_out
                                                                  : later_lead_out;
        session = {number, 0, lead_out, lead_in, session_pregap, true};
    } else if (parse_msf(args[1], sectors)) {
        if (args[0] == "LEAD-OUT") session.next_lead_out = sectors;
        if (args[0] == "LEAD-IN" && session.pending) session.lead_in = sectors;
        if (args[0] == "PREGAP" && session.pending) session.pregap = sectors;
    }
}

// Reads the sheet into files and tracks; false, with why, at a line that can't be read.
bool read_sheet(const std::vector<std::string_view>& lines, std::vector<cue_file>& files,
                std::vector<cue_track>& tracks, bool& gd_rom, std::string& why)
{
    bool single_density = false, high_density = false;
    session_state session;
    std::vector<std::string_view> args;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string_view rest = lines[n], word;
        if (!next_field(rest, word)) continue;  // a blank line
        const auto refuse = [&](const std::string& reason) {
            why = line_error(n + 1, lines[n], reason);
            return false;
        };
        if (word == "REM") {
            read_remark(lines[n], rest, single_density, high_density, session);
            continue;
        }
        const bool two = arguments(rest, args, 2) && args.size() == 2;
        if (word == "FILE") {
            if (!two || args[1] != "BINARY" || args[0].empty())
                return refuse("this program reads FILE \"NAME\" BINARY");
            const std::uint32_t gap = session.pending ? session.lead_out + session.lead_in + session.pregap : 0;
            session.pending = false;
            files.push_back({file_name(args[0]), high_density, 0, gap});
        } else if (word == "TRACK") {
            std::uint64_t number = 0;
            const bool data = two && (args[1] == "MODE1/2352" || args[1] == "MODE2/2352" || args[1] == "MODE1/2048");
            if (!two || !parse_number(args[0], max_track_number, number) || (!data && args[1] != "AUDIO"))
                return refuse("this program reads TRACK NN MODE1/2352, MODE2/2352, MODE1/2048 or AUDIO");
            if (files.empty()) return refuse("a track before any FILE");
            if (static_cast<int>(number) != (tracks.empty() ? 1 : tracks.back().number + 1))
                return refuse("not the next track");
            const int bytes = args[1] == "MODE1/2048" ? block_bytes : raw_sector_bytes;
            cue_file& file = files.back();
            if (file.sector_bytes != 0 && file.sector_bytes != bytes)
                return refuse("a track of another sector size in the same file");
            file.sector_bytes = bytes;
            tracks.push_back({static_cast<int>(number), data, files.size() - 1, 0, 0, false, false, 0});
        } else if (word == "INDEX") {
            std::uint64_t index = 0;
            std::uint32_t at = 0;
            if (!two || !parse_number(args[0], max_index, index) || !parse_msf(args[1], at))
                return refuse("this program reads INDEX NN MM:SS:FF");
            if (tracks.empty() || tracks.back().file != files.size() - 1) return refuse("an index outside a track");
            cue_track& track = tracks.back();
            const bool before = track.has_index0 && at < track.index0;
            if (index == 0 && (track.has_index0 || track.has_index1)) return refuse("a second INDEX 00");
            if (index == 1 && (track.has_index1 || before)) return refuse("INDEX 01 again, or before INDEX 00");
            if (index == 0) track.has_index0 = true, track.index0 = at;
            if (index == 1) {
                track.has_index1 = true;
                track.index1 = at;
                if (!track.has_index0) track.index0 = at;
            }
        } else if (word == "PREGAP") {
            std::uint32_t sectors = 0;
            if (!arguments(rest, args, 1) || args.size() != 1 || !parse_msf(args[0], sectors) || tracks.empty() ||
                tracks.back().file != files.size() - 1 || tracks.back().has_index0 || tracks.back().has_index1)
                return refuse("this program reads PREGAP MM:SS:FF before a track's indexes");
            tracks.back().pregap = sectors;
        } else if (std::find(std::begin(ignored_commands), std::end(ignored_commands), word) ==
                   std::end(ignored_commands)) {
            return refuse("this program does not read this line");
        }
    }
    gd_rom = single_density && high_density;
    return true;
}

}  // namespace

bool parse_cue(std::string_view text, const file_size_of& size_of, disc_image& image, std::string& why)
{
    std::vector<cue_file> files;
    std::vector<cue_track> tracks;
    bool gd_rom = false;
    if (!read_sheet(descriptor_lines(text), files, tracks, gd_rom, why)) return false;
    if (tracks.empty()) {
        why = "the cue sheet names no track";
        return false;
    }
    for (const cue_track& track : tracks) {
        if (!track.has_index1) {
            why = "track " + std::to_string(track.number) + " has no INDEX 01";
            return false;
        }
    }
    image.tracks.clear();
    std::string missing;     // the reasons of the track files that are missing
    std::uint64_t next = 0;  // where the next file starts on the disc
    bool in_high_density = false;
    for (std::size_t f = 0; f < files.size(); ++f) {
        const cue_file& file = files[f];
        if (gd_rom && file.high_density && !in_high_density) {
            if (next > high_density_start) {
                why = file.name + ": the single-density area runs past sector " + std::to_string(high_density_start);
                return false;
            }
            next = high_density_start;
            in_high_density = true;
        }
        next += file.gap;
        std::uint64_t bytes = 0;
        std::string reason;
        if (!size_of(file.name, bytes, reason)) {  // each missing file is named, once
            if (missing.find(reason) == std::string::npos) missing += (missing.empty() ? "" : "; ") + reason;
            continue;
        }
        if (file.sector_bytes == 0) {
            why = file.name + ": a FILE without a track";
            return false;
        }
        const std::uint64_t sectors = bytes / static_cast<std::uint64_t>(file.sector_bytes);
        std::uint64_t gaps = 0;  // PREGAP sectors of this file's tracks so far
        for (std::size_t t = 0; t < tracks.size(); ++t) {
            const cue_track& track = tracks[t];
            if (track.file != f) continue;
            // The track's data runs to the next track's part of the same file, or to the file's end.
            const bool last = t + 1 == tracks.size() || tracks[t + 1].file != f;
            const std::uint64_t end = std::min<std::uint64_t>(last ? sectors : tracks[t + 1].index0, sectors);
            if (end < track.index1) {
                why = file.name + ": track " + std::to_string(track.number) + " starts past its end";
                return false;
            }
            gaps += track.pregap;
            const std::uint64_t first = next + gaps + track.index1;
            if (first + (end - track.index1) > UINT32_MAX) {
                why = file.name + ": track " + std::to_string(track.number) + " lies past the end of any disc";
                return false;
            }
            image.tracks.push_back({track.number, static_cast<std::uint32_t>(first),
                                    static_cast<std::uint32_t>(end - track.index1), file.sector_bytes, track.data,
                                    file.name,
                                    std::uint64_t{track.index1} * static_cast<std::uint64_t>(file.sector_bytes)});
        }
        next += sectors + gaps;
    }
    if (!missing.empty()) why = missing;
    return missing.empty();
}
