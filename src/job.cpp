#include "job.h"

#include "encoders.h"
#include "files.h"
#include "passes.h"
#include "platform.h"

#include <cerrno>
#include <cstdio>

namespace {

// The output must be creatable before any work is done for it.
bool check_output(conversion& job)
{
    std::string about;
    const int err = why_not_creatable(job.output, about);
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

// Pass 1 into tmp.wav; tells what was found of the movie's audio.
bool extract_audio(conversion& job, std::FILE* input, std::uint8_t* sector, found_audio& audio)
{
    const std::string path = job.temp_file("tmp.wav");
    // Opening tmp.wav for writing would truncate an input that is tmp.wav.
    if (is_same_file(input, path.c_str())) {
        say(job.log, "can't open tempolary wav file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    // The ADX writer hands over its PCM in large blocks: no stream buffer to copy them through.
    file_handle wav(path.c_str(), "wb", false);
    if (!wav) {
        say(job.log, "can't open tempolary wav file\n");
        tell_reason(job.log, path, wav.open_error());
        return false;
    }
    audio = demux_audio(input, wav.get(), sector, job.options.level, job.log);
    if (audio == found_audio::copyable)
        tell(job.log, "vornalt: no ADX audio found in %s; its audio packets are copied as they are\n",
             job.input.c_str());
    if (audio == found_audio::none) tell(job.log, "vornalt: no ADX audio found in %s\n", job.input.c_str());
    if (!wav.close_written()) {
        const int err = errno;
        say(job.log, "can't write tmp.wav\n");
        tell_reason(job.log, path, err);
        return false;
    }
    return true;
}

// The encoder makes tmp.mp3 of tmp.wav; a movie whose audio is copied needs none.
bool encode_audio(conversion& job, std::FILE* input, found_audio audio)
{
    say(job.log, "make mpeg audio\n");
    const std::string path = job.temp_file("tmp.mp3");
    // The encoder overwrites tmp.mp3, and a stale one is removed before it runs.
    if (is_same_file(input, path.c_str())) {
        say(job.log, "can't open tempolary mp3 file\n");
        tell(job.log, "vornalt: %s is the input itself\n", path.c_str());
        return false;
    }
    std::remove(path.c_str());
    if (audio == found_audio::copyable) return true;
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

// Opens tmp.mp3 and reads the bit rate where its audio starts.
bool open_encoded_audio(conversion& job, std::uint8_t* sector, file_handle& mp3, int& byte_rate)
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

// Pass 2 from the input and tmp.mp3 into the output; a movie whose audio is
// copied keeps its audio sectors as they are.
bool write_movie(conversion& job, std::FILE* input, std::uint8_t* sector, found_audio audio)
{
    say(job.log, "pass 2\n");
    std::rewind(input);
    file_handle mp3;
    int byte_rate = 0;
    if (audio != found_audio::copyable && !open_encoded_audio(job, sector, mp3, byte_rate)) return false;
    // Opening the output for writing would truncate an input that is the output.
    if (is_same_file(input, job.output.c_str())) {
        say(job.log, "can't open %s\n", job.output.c_str());
        tell(job.log, "vornalt: %s is the input itself\n", job.output.c_str());
        return false;
    }
    file_handle output(job.output.c_str(), "wb");
    if (!output) {
        say(job.log, "can't open %s\n", job.output.c_str());
        tell_reason(job.log, job.output, output.open_error());
        return false;
    }
    const long rest = remux_audio(input, mp3.get(), output.get(), sector, byte_rate, job.log, job.options.verbose);
    if (!output.close_written()) {
        const int err = errno;
        say(job.log, "can't write %s\n", job.output.c_str());
        tell_reason(job.log, job.output, err);
        std::remove(job.output.c_str());
        return false;
    }
    if (rest > 0) {
        warn_lost_audio(job, rest, byte_rate);
        return false;
    }
    return true;
}

}  // namespace

bool vornalt(conversion& job)
{
    file_handle input(job.input.c_str(), "rb");
    if (!input) {
        say(job.log, "can't open %s\n", job.input.c_str());
        tell_reason(job.log, job.input, input.open_error());
        return false;
    }
    if (!check_output(job)) return false;
    say(job.log, "pass 1\n");
    workspace space;
    if (!prepare_workspace(job, space)) return false;
    std::uint8_t sector[sector_size] = {};
    found_audio audio = found_audio::none;
    if (!extract_audio(job, input.get(), sector, audio)) return false;
    if (!encode_audio(job, input.get(), audio)) return false;
    if (!write_movie(job, input.get(), sector, audio)) return false;
    return input.close() == 0;
}
