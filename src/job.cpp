#include "job.h"

#include "encoders.h"
#include "files.h"
#include "passes.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>

namespace {

// The output must be creatable before any work is done for it; the folders
// that a movie on a disc image is given below the output's place are made.
bool check_output(conversion& job)
{
    std::string about;
    int err = job.place.disc != nullptr ? make_folders_below(job.output_base, job.output, about) : 0;
    if (err == 0) err = why_not_creatable(job.output, about);
    if (err == 0) return true;
    say(job.log, "can't open %s\n", job.output.c_str());
    tell_reason(job.log, about, err);
    return false;
}

// Where a conversion keeps its temporary files, and what keeps other
// conversions out of them for as long as it runs.
struct workspace {
    private_folder folder;  // side by side: a folder of its own
    file_lock lock;         // in order: a lock on tmp.wav of the current folder
};

void tell_waiting(messages& log)
{
    tell(log,
         "vornalt: waiting for another conversion in this folder (tmp.wav is in use); "
         "-j N converts in parallel\n");
}

// Makes the private folder of a conversion that runs side by side, or takes
// the lock on the current folder's tmp.wav, waiting for another process's
// conversion to end.
bool prepare_workspace(conversion& job, workspace& space)
{
    if (!job.side_by_side) {
        if (space.lock.try_take(job.temp_file("tmp.wav").c_str()) == file_lock::busy) {
            tell_waiting(job.log);
            space.lock.wait();
        }
        return true;
    }
    if (!space.folder.make()) {
        const int err = errno;
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: can't make a temporary folder: %s\n", error_text(err).c_str());
        return false;
    }
    job.temp_dir = space.folder.path() + path_separator;
    return true;
}

// Says why pass 1 found no ADX audio that the decoder decodes, or that the
// movie's audio packets are copied.
void tell_found_audio(conversion& job, found_audio audio, const adx_writer& writer)
{
    const char* input = job.input.c_str();
    const adx_kind& kind = writer.kind;
    switch (audio) {
    case found_audio::adx:
        break;
    case found_audio::copyable:
        tell(job.log, "vornalt: no ADX audio found in %s; its audio packets are copied as they are\n", input);
        break;
    case found_audio::undecodable:
        if (kind.encrypted) {
            tell(job.log, "vornalt: %s: its ADX audio is encrypted; it can't be decoded\n", input);
        } else {
            tell(job.log,
                 "vornalt: %s: its ADX audio is of a kind this program can't decode (encoding type %d, blocks of %d "
                 "bytes, %d bits a sample)\n",
                 input, kind.encoding, kind.block_bytes, kind.bits);
        }
        break;
    case found_audio::none:
        tell(job.log, "vornalt: no ADX audio found in %s\n", input);
        break;
    }
}

// Pass 1 into tmp.wav; tells what was found of the movie's audio. False when
// the job stops: tmp.wav can't be written, or the input can't be read.
bool extract_audio(conversion& job, movie_source& input, std::uint8_t* sector, adx_writer& writer, found_audio& audio)
{
    const std::string path = job.temp_file("tmp.wav");
    // Opening tmp.wav for writing would truncate an input that is tmp.wav.
    if (is_movie_file(input, path.c_str())) {
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    // The ADX writer hands over its PCM in large blocks: no stream buffer to copy them through.
    owned_file wav(path.c_str(), "wb", false);
    if (!wav) {
        say(job.log, "can't open tempolary wav file\n");
        tell_reason(job.log, path, wav.open_error());
        return false;
    }
    const pass1_result pass = demux_audio(input, wav.get(), sector, writer, job.options.level, job.log);
    if (!pass.read_error.empty()) {
        tell(job.log, "vornalt: %s: %s\n", job.input.c_str(), pass.read_error.c_str());
        return false;
    }
    audio = pass.audio;
    tell_found_audio(job, audio, writer);
    if (!wav.close_written()) {
        const int err = errno;
        say(job.log, "can't write tmp.wav\n");
        tell_reason(job.log, path, err);
        return false;
    }
    return true;
}

// The encoder makes tmp.mp3 of tmp.wav; a movie whose audio is copied needs
// none, and one without ADX audio to decode stops here.
bool encode_audio(conversion& job, const movie_source& input, found_audio audio)
{
    say(job.log, "make mpeg audio\n");
    const std::string path = job.temp_file("tmp.mp3");
    // The encoder overwrites tmp.mp3, and a stale one is removed before it runs.
    if (is_movie_file(input, path.c_str())) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    std::remove(path.c_str());
    if (audio == found_audio::copyable) return true;
    if (audio != found_audio::adx) return false;  // pass 1 told why
    const encode_files files{job.temp_dir, job.side_by_side, job.log};
    if (job.encoder.what == encoder_choice::builtin) return encode_builtin(job.encoder.bitrate, files);
    return encode_with_command(job.encoder.command, files);
}

// Tells the user that the end of the soundtrack is missing from the output,
// on a line of its own after the rest report.
void warn_lost_audio(conversion& job, long rest, int byte_rate)
{
    tell(job.log,
         "\nvornalt: warning: %s lacks the last %ld bytes (%.2f s) of its encoded audio, which found "
         "no room in the movie's audio packets; encode at a lower bit rate\n",
         job.output.c_str(), rest, static_cast<double>(rest) / byte_rate);
}

// Tells the user that the ADX audio ended a block (32 samples a channel) or
// more before the length its header declares: the movie may be cut short. On
// a line of its own after the rest report, or after the lost-audio warning.
void tell_cut_short(conversion& job, const adx_writer& writer, bool after_warning)
{
    constexpr std::uint32_t block_samples = 32;
    const std::uint32_t written = writer.written / writer.channels;
    if (writer.rate == 0 || writer.declared - written < block_samples) return;  // never more written than declared
    tell(job.log,
         "%svornalt: %s: its audio ends after %.2f s of the %.2f s its header declares; the file may be cut short\n",
         after_warning ? "" : "\n", job.input.c_str(), static_cast<double>(written) / writer.rate,
         static_cast<double>(writer.declared) / writer.rate);
}

// Opens tmp.mp3 and reads the bit rate where its audio starts.
bool open_encoded_audio(conversion& job, std::uint8_t* sector, owned_file& mp3, int& byte_rate)
{
    const std::string path = job.temp_file("tmp.mp3");
    if (!mp3.open(path.c_str(), "rb")) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell_reason(job.log, path, mp3.open_error());
        return false;
    }
    const audio_probe probe = probe_byte_rate(mp3.get(), sector, job.options.verbose ? &job.log : nullptr);
    byte_rate = probe.byte_rate;
    if (probe.byte_rate <= 0) {
        say(job.log, "bad mpeg audio header\n");
        return false;
    }
    // The stamps assume one bit rate throughout.
    if (probe.variable) {
        say(job.log, "variable bit rate audio is not supported\n");
        return false;
    }
    return true;
}

// How pass 2 ended.
enum class movie_written { failed, lost_audio, whole };

// Pass 2 from the input and tmp.mp3 into the output, which appears only when
// it is written whole; a movie whose audio is copied keeps its audio sectors
// as they are.
movie_written write_movie(conversion& job, movie_source& input, std::uint8_t* sector, found_audio audio)
{
    say(job.log, "pass 2\n");
    std::string why;
    if (!rewind_movie(input, why)) {
        tell(job.log, "vornalt: %s: %s\n", job.input.c_str(), why.c_str());
        return movie_written::failed;
    }
    owned_file mp3;
    int byte_rate = 0;
    if (audio != found_audio::copyable && !open_encoded_audio(job, sector, mp3, byte_rate))
        return movie_written::failed;
    // Writing the output would replace an input that is the output.
    if (is_movie_file(input, job.output.c_str())) {
        say(job.log, "can't open %s\n", job.output.c_str());
        tell(job.log, "vornalt: %s is the input itself\n", job.output.c_str());
        return movie_written::failed;
    }
    staged_output staged;  // outlives the file handle: a hidden file is closed before it is removed
    owned_file output;
    if (!output.adopt(staged.open(job.output))) {
        const int err = errno;
        say(job.log, "can't open %s\n", job.output.c_str());
        tell_reason(job.log, job.output, err);
        return movie_written::failed;
    }
    const pass2_result pass =
        remux_audio(input, mp3.get(), output.get(), sector, byte_rate, job.log, job.options.verbose);
    if (pass.input_error.empty()) end_progress(input);
    if (!pass.input_error.empty()) {
        tell(job.log, "vornalt: %s: %s\n", job.input.c_str(), pass.input_error.c_str());
        return movie_written::failed;
    }
    if (pass.mp3_error != 0) {
        tell_reason(job.log, job.temp_file("tmp.mp3"), pass.mp3_error);
        return movie_written::failed;
    }
    if (!output.close_written() || !staged.commit()) {
        const int err = errno;
        say(job.log, "can't write %s\n", job.output.c_str());
        tell_reason(job.log, job.output, err);
        return movie_written::failed;
    }
    if (pass.rest > 0) {
        warn_lost_audio(job, pass.rest, byte_rate);
        return movie_written::lost_audio;
    }
    return movie_written::whole;
}

// The folder of a path, with its separator ("" for a name alone).
std::string folder_of(const std::string& path)
{
    std::size_t end = path.size();
    while (end > 0 && !is_path_separator(path[end - 1])) --end;
    return path.substr(0, end);
}

}  // namespace

bool vornalt(conversion& job)
{
    movie_source input;
    int err = 0;
    if (!open_movie(job.input, job.place, input, err)) {
        say(job.log, "can't open %s\n", job.input.c_str());
        tell_reason(job.log, job.input, err);
        return false;
    }
    if (job.missing > 0)
        tell(job.log, "vornalt: %s: the image ends %lu sectors before this movie does\n", job.input.c_str(),
             static_cast<unsigned long>(job.missing));
    if (!check_output(job)) return false;
    keep_sectors_in(input, folder_of(job.output));
    if (job.progress) report_progress(input, job.input);
    say(job.log, "pass 1\n");
    workspace space;
    if (!prepare_workspace(job, space)) return false;
    std::uint8_t sector[sector_size] = {};
    adx_writer writer;
    found_audio audio = found_audio::none;
    if (!extract_audio(job, input, sector, writer, audio)) return false;
    if (!encode_audio(job, input, audio)) return false;
    const movie_written result = write_movie(job, input, sector, audio);
    if (result == movie_written::failed) return false;
    if (audio == found_audio::adx) tell_cut_short(job, writer, result == movie_written::lost_audio);
    return result == movie_written::whole;
}
