#include "vornalt.h"

#include "adxconv.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

const char* encoder = "toolame32";
int verbose = 0;

// ---------------------------------------------------------------------------
// Field codec

std::uint32_t read_long(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

int read_word(const std::uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

void write_word(std::uint8_t* p, int v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::uint32_t read_timestamp(const std::uint8_t* p)
{
    // Bit 32 of the 33-bit stamp (bit 3 of p[0]) is dropped.
    return (std::uint32_t{p[0] & 0x0Eu} << 29) | (std::uint32_t{p[1]} << 22) |
           (std::uint32_t{p[2] & 0xFEu} << 14) | (std::uint32_t{p[3]} << 7) | (std::uint32_t{p[4]} >> 1);
}

void write_timestamp(std::uint8_t* p, std::uint32_t ts, int prefix)
{
    p[0] = static_cast<std::uint8_t>((ts >> 29) | static_cast<std::uint32_t>(prefix) | 1u);
    p[1] = static_cast<std::uint8_t>(ts >> 22);
    p[2] = static_cast<std::uint8_t>((ts >> 14) | 1u);
    p[3] = static_cast<std::uint8_t>(ts >> 7);
    p[4] = static_cast<std::uint8_t>((ts << 1) | 1u);
}

block_header skip_block_header(const std::uint8_t* p, int avail)
{
    int n = 0;
    while (n < avail && p[n] == 0xFF) ++n;  // stuffing
    if (n >= avail) return {avail, stamp_form::none};
    if ((p[n] & 0xC0) == 0x40) {  // buffer field
        n += 2;
        if (n >= avail) return {avail, stamp_form::none};
    }
    const int c = p[n];
    if ((c & 0xF0) == 0x20) {
        if (n + 5 > avail) return {avail, stamp_form::none};
        return {n + 5, stamp_form::pts};
    }
    if ((c & 0xF0) == 0x30) {
        if (n + 10 > avail) return {avail, stamp_form::none};
        return {n + 10, stamp_form::pts_dts};
    }
    if (c == 0x0F) return {n + 1, stamp_form::none};
    std::printf("unknown %x\n", static_cast<unsigned>(c));
    return {n, stamp_form::none};
}

int bounded_packet_length(const std::uint8_t* sector)
{
    const int length = read_word(sector + 16);
    return length > max_packet_length ? max_packet_length : length;
}

// ---------------------------------------------------------------------------
// Stream header reports

namespace {

// Bit rates in kbit/s, [version row][3 - layer][index]: MPEG-1 layers I-III,
// then the lower-sampling-frequency layers I-III (II and III share a list).
constexpr int bitrate_index[2][3][16] = {
    {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    },
    {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    },
};
constexpr int frequency[2][4] = {{44100, 48000, 32000, 0}, {22050, 24000, 16000, 0}};
constexpr int slots[4] = {12, 144, 144, 0};
constexpr const char* layer_string[4] = {"", "III", "II", "I"};
constexpr const char* mode[4] = {"stereo", "joint stereo", "dual channel", "mono"};
constexpr const char* copyright[2] = {"no copyright", "copyright protected"};
constexpr const char* original[2] = {"copy", "original"};
constexpr const char* emphasis[4] = {"none", "50/15 microseconds", "reserved", "CCITT J.17"};

} // namespace

int audio_info(const std::uint8_t* p)
{
    if ((read_word(p) & 0xFFF0) != 0xFFF0) return -1;
    const int id = (p[1] >> 3) & 1;
    const int layer = (p[1] >> 1) & 3;
    const int rate_index = p[2] >> 4;
    const int freq_index = (p[2] >> 2) & 3;
    const int v = 1 - id;
    const int li = 3 - layer;
    // Reserved layer bits have no row of bit rates: rate 0.
    const int rate = li < 3 ? bitrate_index[v][li][rate_index] : 0;
    const int freq = frequency[v][freq_index];
    if (verbose) {
        std::printf("version: %d\n", 2 - id);
        std::printf("layer: %s\n", layer_string[layer]);
        std::printf("protection: %d\n", p[1] & 1);
        std::printf("bit_rate: %d\n", rate);
        std::printf("frequency: %d\n", freq);
        std::printf("padding: %d\n", (p[2] >> 1) & 1);
        std::printf("mode: %s\n", mode[p[3] >> 6]);
        std::printf("mode_extension: %d\n", (p[3] >> 4) & 3);
        std::printf("copyright: %s\n", copyright[(p[3] >> 3) & 1]);
        std::printf("original: %s\n", original[(p[3] >> 2) & 1]);
        std::printf("emphasis: %s\n", emphasis[p[3] & 3]);
        // A reserved frequency index has no frame size; show 0 rather than divide by it.
        std::printf("framesize: %d\n", freq > 0 ? (slots[li] * rate * 1000 + freq - 1) / freq : 0);
    }
    return rate * 1000;
}

int video_info(const std::uint8_t* p)
{
    if (!verbose) return 0;
    std::printf("width: %d\n", (p[0] << 4) | (p[1] >> 4));
    std::printf("height: %d\n", ((p[1] & 0x0F) << 8) | p[2]);
    std::printf("aspect: %d\n", p[3] >> 4);
    std::printf("pict rate: %d\n", p[3] & 0x0F);
    std::printf("bit rate: %d\n", (p[4] << 10) | (p[5] << 2) | (p[6] >> 6));
    std::printf("buffer size:%d\n", ((p[6] & 0x1F) << 5) | (p[7] >> 3));
    return 0;
}

// ---------------------------------------------------------------------------
// Passes

namespace {

// Reads the next sector. Bytes that a short last read leaves unfilled are
// zeroed so no stale data from the previous sector is ever taken for this one.
std::size_t read_sector(std::FILE* input, std::uint8_t* sector)
{
    const std::size_t got = std::fread(sector, 1, sector_size, input);
    if (got > 0 && got < sector_size) std::memset(sector + got, 0, sector_size - got);
    return got;
}

} // namespace

void demux_audio(std::FILE* input, std::FILE* wav, std::uint8_t* sector)
{
    adx_write_init();
    for (int index = 0; read_sector(input, sector) > 0; ++index) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) break;
        if (code != pack_code) {
            std::printf("unexpexted code:%x sector %d\n", code, index);
            continue;
        }
        const std::uint32_t stream = read_long(sector + 12);
        switch (stream) {
        case audio_code: {
            const int length = bounded_packet_length(sector);
            const int h = skip_block_header(sector + sector_header_size, length).length;
            adx_write(wav, sector + sector_header_size + h, length - h);
            break;
        }
        case system_header_code:
        case padding_code:
        case private2_code:
        case video_code:
            break;
        default:
            std::printf("unknown code:%x\n", stream);
        }
    }
    adx_write(wav, nullptr, 0);
}

int probe_byte_rate(std::FILE* mp3, std::uint8_t* sector)
{
    // A stream shorter than a frame header must fail the sync test, whatever
    // the buffer held before.
    std::memset(sector, 0, 4);
    if (std::fread(sector, 1, sector_size, mp3) < 4) std::memset(sector, 0, 4);
    std::rewind(mp3);
    return audio_info(sector) / 8;
}

void replace_audio_packet(std::uint8_t* sector, std::FILE* mp3, std::FILE* output, remux_state& state)
{
    const int length = read_word(sector + 16);
    const block_header header = skip_block_header(sector + sector_header_size, max_packet_length);
    const int h = header.length;
    // The first audio packet starts the clock with the play time of a full payload.
    if (state.last_read < 0) state.last_read = max_packet_length - h;
    const std::int32_t duration = state.last_read * 90000 / state.byte_rate;

    if (length != max_packet_length) write_word(sector + 16, max_packet_length);

    std::uint8_t* payload = sector + sector_header_size + h;
    if (header.form != stamp_form::none) {
        // The presentation stamp is the stamp alone, or the first of a pair.
        std::uint8_t* stamp = payload - (header.form == stamp_form::pts ? 5 : 10);
        const auto pts = static_cast<std::int32_t>(read_timestamp(stamp));
        const auto limit = static_cast<std::int32_t>(static_cast<std::uint32_t>(state.audio_pts) -
                                                     static_cast<std::uint32_t>(duration));
        if (pts < limit) return;  // fallen behind the clock: leave the packet out
        const auto clock = static_cast<std::uint32_t>(state.audio_pts);
        if (header.form == stamp_form::pts) {
            write_timestamp(stamp, clock, 0x20);
        } else {
            write_timestamp(stamp, clock, 0x30);
            write_timestamp(stamp + 5, clock, 0x10);
        }
    }

    const std::size_t room = static_cast<std::size_t>(max_packet_length - h);
    const std::size_t got = std::fread(payload, 1, room, mp3);
    state.last_read = static_cast<int>(got);
    std::memset(payload + got, 0, room - got);
    std::fwrite(sector, 1, sector_size, output);
    state.audio_pts = static_cast<std::int32_t>(static_cast<std::uint32_t>(state.audio_pts) +
                                                static_cast<std::uint32_t>(duration));
}

void remux_audio(std::FILE* input, std::FILE* mp3, std::FILE* output, std::uint8_t* sector, int byte_rate)
{
    remux_state state{byte_rate, 0, -1};
    while (read_sector(input, sector) > 0) {
        const std::uint32_t code = read_long(sector);
        if (code == end_code) {
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        if (code != pack_code) {
            std::printf("unexpexted code:%x\n", code);
            continue;
        }
        const std::uint32_t stream = read_long(sector + 12);
        switch (stream) {
        case system_header_code:
            std::fwrite(sector, 1, sector_size, output);
            break;
        case video_code: {
            const int length = bounded_packet_length(sector);
            const int h = skip_block_header(sector + sector_header_size, length).length;
            const std::uint8_t* payload = sector + sector_header_size + h;
            if (length - h >= 12 && read_long(payload) == sequence_header_code) video_info(payload + 4);
            std::fwrite(sector, 1, sector_size, output);
            break;
        }
        case padding_code:
        case private2_code:
            break;
        case audio_code:
            replace_audio_packet(sector, mp3, output, state);
            break;
        default:
            std::printf("unknown code:%x\n", stream);
        }
    }
    const long pos = std::ftell(mp3);
    std::fseek(mp3, 0, SEEK_END);
    const long end = std::ftell(mp3);
    std::printf("rest:%d ", static_cast<int>(end - pos));
}

// ---------------------------------------------------------------------------
// Command line and job

namespace {

// Stream buffer of every file of a job: large enough that the per-sector and
// per-unit reads and writes turn into few system calls, fixed whatever the
// file size.
constexpr std::size_t stream_buffer_size = 256 * 1024;

// Owns an open FILE*, with a buffer of stream_buffer_size; closes it on every
// path out of the job.
class file_handle {
public:
    explicit file_handle(std::FILE* f) : f_(f)
    {
        if (f_ != nullptr) std::setvbuf(f_, nullptr, _IOFBF, stream_buffer_size);
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

// Whether path names the very file that is open as f (same device and inode),
// whatever path or link leads to it.
bool is_same_file(std::FILE* f, const char* path)
{
    struct stat open_stat;
    struct stat path_stat;
    if (fstat(fileno(f), &open_stat) != 0 || stat(path, &path_stat) != 0) return false;
    return open_stat.st_dev == path_stat.st_dev && open_stat.st_ino == path_stat.st_ino;
}

constexpr const char* usage_text =
    "Convertidor videos Dreamcast SFD->MPEG1    \n"
    " vornalt [-option] <infile>\n"
    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \n"
    "Lea README.TXT para instrucciones.       \n";

} // namespace

std::string make_output_name(const char* input)
{
    const char* base = std::strrchr(input, '\\');
    std::string name = base != nullptr ? base + 1 : input;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name + ".mpg";
}

int vornalt(const char* input_path, const char* output_path)
{
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
    file_handle wav(std::fopen("tmp.wav", "wb"));
    if (!wav) {
        std::printf("can't open tempolary wav file\n");
        return -1;
    }
    std::uint8_t sector[sector_size] = {};
    demux_audio(input.get(), wav.get(), sector);
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
    const std::string command = std::string(encoder) + " tmp.wav tmp.mp3";
    std::remove("tmp.mp3");
    std::fflush(stdout);  // keep our lines ahead of the encoder's in a shared log
    if (std::system(command.c_str()) != 0) return -1;

    std::printf("pass 2\n");
    std::rewind(input.get());
    file_handle mp3(std::fopen("tmp.mp3", "rb"));
    if (!mp3) {
        std::printf("can't open tempolary mp3 file\n");
        return -1;
    }
    const int byte_rate = probe_byte_rate(mp3.get(), sector);
    if (byte_rate <= 0) {
        std::printf("bad mpeg audio header\n");
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
    remux_audio(input.get(), mp3.get(), output.get(), sector, byte_rate);
    if (!output.close_written()) {
        std::printf("can't write %s\n", output_path);
        std::remove(output_path);
        return -1;
    }
    mp3.close();
    return input.close();
}

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::printf("%s", usage_text);
        return -1;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            // Only the second character counts; unknown options are ignored.
            if (arg[1] == 'c') {
                if (++i < argc) encoder = argv[i];
            } else if (arg[1] == 'v') {
                verbose = 1;
            }
            continue;
        }
        const std::string output = make_output_name(arg);
        std::printf("%s -> %s\n", arg, output.c_str());
        if (vornalt(arg, output.c_str()) < 0) status = 1;
    }
    return status;
}
