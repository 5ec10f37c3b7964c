#include "vornalt.h"

#include "mpeg.h"
#include "passes.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Stream buffer of every file of a job: large enough that the per-sector and
// per-unit reads and writes turn into few system calls, fixed whatever the
// file size.
constexpr std::size_t stream_buffer_size = 256 * 1024;

// Owns an open FILE*, with a buffer of stream_buffer_size; closes it on every
// path out of the job.
class file_handle {
public:
    explicit file_handle(std::FILE* f, bool buffered = true) : f_(f)
    {
        if (f_ != nullptr) std::setvbuf(f_, nullptr, buffered ? _IOFBF : _IONBF, stream_buffer_size);
    }
    ~file_handle() { close(); }
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;

    std::FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }

    int close()
    {
        std::FILE* f = f_;
        f_ = nullptr;
        return f != nullptr ? std::fclose(f) : 0;
    }

    // Closes the file and tells whether every write to it and the close went through.
    bool close_written()
    {
        const bool write_error = std::ferror(f_) != 0;
        return close() == 0 && !write_error;
    }

private:
    std::FILE* f_;
};

// Whether path names the very file that is open as f, whatever path or link
// leads to it.
#ifdef _WIN32
// The C runtime's device and inode fields don't identify a file on Windows;
// the volume serial number and the file index do.
bool is_same_file(std::FILE* f, const char* path)
{
    const HANDLE path_handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (path_handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION open_info;
    BY_HANDLE_FILE_INFORMATION path_info;
    const auto open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    const bool same = GetFileInformationByHandle(open_handle, &open_info) && GetFileInformationByHandle(path_handle, &path_info) &&
                      open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
                      open_info.nFileIndexHigh == path_info.nFileIndexHigh && open_info.nFileIndexLow == path_info.nFileIndexLow;
    CloseHandle(path_handle);
    return same;
}
#else
bool is_same_file(std::FILE* f, const char* path)
{
    struct stat open_stat;
    struct stat path_stat;
    if (fstat(fileno(f), &open_stat) != 0 || stat(path, &path_stat) != 0) return false;
    return open_stat.st_dev == path_stat.st_dev && open_stat.st_ino == path_stat.st_ino;
}
#endif

// Whether the command processor's status says that the command does not exist.
bool is_command_not_found(int status)
{
#ifdef _WIN32
    return status == 9009;  // cmd.exe's status for an unknown command
#else
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127;
#endif
}

constexpr const char* usage_text =
    "Convertidor videos Dreamcast SFD->MPEG1    \n"
    " vornalt [-option] <infile>\n"
    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \n"
    "Lea README.TXT para instrucciones.       \n";

// Runs the encoder on tmp.wav. Standard output is flushed first, so that our
// lines stay ahead of the encoder's in a shared log.
bool run_encoder(const char* encoder)
{
    const std::string command = std::string(encoder) + " tmp.wav tmp.mp3";
    std::fflush(stdout);
    const int status = std::system(command.c_str());
    if (status == 0) return true;
    if (is_command_not_found(status))
        std::fprintf(stderr, "vornalt: the encoder command \"%s\" was not found; install an MPEG audio encoder "
                             "and name it with -c, e.g. -c twolame\n", encoder);
    return false;
}

// Tells the user that the end of the soundtrack is missing from the output,
// on a line of its own after the rest report.
void warn_lost_audio(const char* output_path, long rest, int byte_rate)
{
    std::fflush(stdout);
    std::fprintf(stderr, "\nvornalt: warning: %s lacks the last %ld bytes (%.2f s) of its encoded audio, which found "
                         "no room in the movie's audio packets; encode at a lower bit rate\n",
                 output_path, rest, static_cast<double>(rest) / byte_rate);
}

} // namespace

std::string make_output_name(const char* input)
{
    const char* base = std::strrchr(input, '\\');
    std::string name = base != nullptr ? base + 1 : input;
    // Only the file name's own dot starts an extension, never one in a folder name.
    const std::size_t slash = name.find_last_of("/\\");
    const std::size_t file_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot >= file_start) name.resize(dot);
    return name + ".mpg";
}

int vornalt(const char* input_path, const char* output_path, const settings& options)
{
    verbose = options.verbose;
    file_handle input(std::fopen(input_path, "rb"));
    if (!input) {
        std::printf("can't open %s\n", input_path);
        return -1;
    }

    std::printf("pass 1\n");
    // Opening tmp.wav for writing would truncate an input that is tmp.wav.
    if (is_same_file(input.get(), "tmp.wav")) {
        std::printf("can't open tempolary wav file\n");
        return -1;
    }
    // The ADX writer hands over its PCM in large blocks: no stream buffer to copy them through.
    file_handle wav(std::fopen("tmp.wav", "wb"), false);
    if (!wav) {
        std::printf("can't open tempolary wav file\n");
        return -1;
    }
    std::uint8_t sector[sector_size] = {};
    demux_audio(input.get(), wav.get(), sector, options.level);
    if (!wav.close_written()) {
        std::printf("can't write tmp.wav\n");
        return -1;
    }

    std::printf("make mpeg audio\n");
    // The encoder overwrites tmp.mp3, and a stale one is removed before it runs.
    if (is_same_file(input.get(), "tmp.mp3")) {
        std::printf("can't open tempolary mp3 file\n");
        return -1;
    }
    std::remove("tmp.mp3");
    if (!run_encoder(options.encoder)) return -1;

    std::printf("pass 2\n");
    std::rewind(input.get());
    file_handle mp3(std::fopen("tmp.mp3", "rb"));
    if (!mp3) {
        std::printf("can't open tempolary mp3 file\n");
        return -1;
    }
    const audio_probe probe = probe_byte_rate(mp3.get(), sector);
    if (probe.byte_rate <= 0) {
        std::printf("bad mpeg audio header\n");
        return -1;
    }
    // The stamps assume one bit rate throughout.
    if (probe.variable) {
        std::printf("variable bit rate audio is not supported\n");
        return -1;
    }

    // Opening the output for writing would truncate an input that is the output.
    if (is_same_file(input.get(), output_path)) {
        std::printf("can't open %s\n", output_path);
        return -1;
    }
    file_handle output(std::fopen(output_path, "wb"));
    if (!output) {
        std::printf("can't open %s\n", output_path);
        return -1;
    }
    const long rest = remux_audio(input.get(), mp3.get(), output.get(), sector, probe.byte_rate);
    if (!output.close_written()) {
        std::printf("can't write %s\n", output_path);
        std::remove(output_path);
        return -1;
    }
    mp3.close();
    if (rest > 0) {
        warn_lost_audio(output_path, rest, probe.byte_rate);
        return -1;
    }
    return input.close();
}

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("%s", usage_text);
        return -1;
    }
    int status = 0;
    settings options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            // Only the second character counts; unknown options are ignored.
            if (arg[1] == 'c') {
                if (++i < argc) options.encoder = argv[i];
            } else if (arg[1] == 'v') {
                options.verbose = true;
            } else if (arg[1] == 'l') {
                options.level = adx_level::full;
            }
            continue;
        }
        const std::string output = make_output_name(arg);
        std::printf("%s -> %s\n", arg, output.c_str());
        if (vornalt(arg, output.c_str(), options) < 0) status = 1;
    }
    return status;
}
