#include "cli.h"

#include "batch.h"
#include "disc.h"
#include "encoders.h"
#include "job.h"
#include "platform.h"
#include "threads.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#ifndef VORNALT_VERSION
#define VORNALT_VERSION "unknown"
#endif

namespace {

constexpr const char* usage_text =
    "Convertidor videos Dreamcast SFD->MPEG1    \n"
    " vornalt [-option] <infile>\n"
    "  -c <\"mp3 encoder [encoder option]\">Utilidad por lumo.  \n"
    "Lea README.TXT para instrucciones.       \n";

constexpr const char* help_text =
    "usage: vornalt [options] movie.sfd ...\n"
    "Converts SFD movies into MPEG-1 .mpg files: the ADX audio is decoded to tmp.wav,\n"
    "an MPEG audio encoder makes tmp.mp3 of it, and the movie is written again with\n"
    "that audio as NAME.mpg. Options act on the movies that follow them.\n"
    "\n"
    "  -c COMMAND  the MPEG audio encoder, run as COMMAND tmp.wav tmp.mp3\n"
    "  -b N        encode with the built-in MPEG audio layer II encoder at N kbit/s\n"
    "              (without -c or -b: toolame32 when it is on the PATH, else the\n"
    "              built-in encoder at its default rate: 192 kbit/s for 44100 and\n"
    "              48000 Hz stereo; the later of -c and -b counts)\n"
    "  -o DIR      write the outputs into the folder DIR\n"
    "  -l          decode the ADX audio at full level (11 dB louder)\n"
    "  -v          report the audio frame header and the video sequence headers\n"
    "  -j N        convert up to N movies at once (0: one per processor), wherever\n"
    "              it stands; each works in a private temporary folder. The built-in\n"
    "              encoder uses N threads (without -j: one per processor)\n"
    "  --list      list the movies of the inputs (as they are named, and their\n"
    "              bytes) and convert nothing\n"
    "  --progress  report on standard error the bytes that the passes read\n"
    "  -h, --help  this help; --version: the version\n"
    "\n"
    "A movie without ADX audio (video alone, or MPEG audio already) is copied with\n"
    "its audio packets as they are.\n"
    "\n"
    "A disc image (.gdi, .cue, .iso, .chd or .cdi: a GD-ROM or CD-format disc as\n"
    "archived or as emulators keep it, or a plain ISO image) is read where it\n"
    "lies: each .SFD movie on its disc, PATH, is converted into PLACE/IMAGE/PATH\n"
    "with .mpg, PLACE being the image's folder or -o DIR and IMAGE its name;\n"
    "IMAGE/PATH converts that file, or the movies of that folder. A track of raw\n"
    "sectors is read where its sectors' own headers place it, whatever a .gdi,\n"
    ".cue or .chd says; a .cdi's tracks lie where its descriptor says.\n"
    "\n"
    "Exit status: 0 every movie converted whole; 1 a movie failed or lost audio;\n"
    "255 no arguments or a bad -j or -b.\n"
    "\n"
    "Examples:\n"
    "  vornalt intro.sfd\n"
    "  vornalt -j 0 -b 128 -o /tmp/movies /mnt/disc/*.sfd\n"
    "  vornalt -c lame intro.sfd\n"
    "  vornalt -j 0 -o ~/movies \"Game (Disc 1).gdi\" game.cue/MOVIE/OPENING.SFD\n";

constexpr const char* standard_encoder = "toolame32";

// The standard encoder when it is on the PATH, else the built-in; said once
// per run when it is the built-in, except where no program can run.
encoder_choice default_encoder(messages& console)
{
    if (!programs_can_run()) return {encoder_choice::builtin, nullptr, nullptr};  // in a browser: nothing to say
    if (is_program_found(standard_encoder)) return {encoder_choice::external, standard_encoder, nullptr};
    tell(console, "vornalt: %s not found; encoding with the built-in MPEG audio layer II encoder\n", standard_encoder);
    return {encoder_choice::builtin, nullptr, nullptr};
}

// The inputs of a run and what it was asked to do.
struct run_plan {
    enum { convert, help, version, bad_parallel, bad_bitrate } what = convert;
    std::vector<conversion> jobs;
    unsigned parallel = 1;          // conversions at once
    unsigned encoding_threads = 0;  // threads of the built-in encoder at once: -j's number; 0: one per processor
    bool list = false;              // --list: the movies of the inputs, none converted
    bool progress = false;          // --progress: the bytes the passes read, on standard error
};

bool is_help(const char* arg)
{
    return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-help") == 0 || std::strcmp(arg, "--help") == 0;
}

// The number of an option, attached (-j4) or the next argument: its digits,
// or null when it is missing or not all digits.
const char* option_number(int argc, char** argv, int& i)
{
    const char* text = argv[i][2] != '\0' ? argv[i] + 2 : (++i < argc ? argv[i] : "");
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) return nullptr;
    return text;
}

// The number of -j; 0 stands for one conversion per processor. Either is
// held to the most conversions that run at once.
bool parse_parallel(int argc, char** argv, int& i, unsigned& parallel)
{
    const char* text = option_number(argc, argv, i);
    if (text == nullptr) return false;
    const unsigned long n = std::strtoul(text, nullptr, 10);
    parallel = static_cast<unsigned>(std::min<unsigned long>(n == 0 ? processor_count() : n, max_side_by_side));
    return true;
}

// ---------------------------------------------------------------------------
// Movies on disc images

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool is_movie_name(std::string_view path)
{
    constexpr std::string_view extension = ".SFD";
    return path.size() >= extension.size() && same_name(path.substr(path.size() - extension.size()), extension);
}

// Where an input IMAGE/PATH splits: the length of its first part that names
// an image file and ends before a separator; 0 when it has none.
std::size_t image_part(const std::string& arg)
{
    for (std::size_t i = 0; i < arg.size(); ++i) {
        std::error_code error;
        if (is_path_separator(arg[i]) && is_disc_image_name(arg.substr(0, i)) &&
            std::filesystem::is_regular_file(arg.substr(0, i), error))
            return i;
    }
    return 0;
}

// A path on a disc as the file system records it: its parts joined by '/',
// without empty parts or versions (";1").
std::string disc_path_of(const std::string& text)
{
    std::string path;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = start;
        while (end < text.size() && !is_path_separator(text[end])) ++end;
        std::string part = text.substr(start, end - start);
        part.resize(std::min(part.size(), part.find(';')));
        if (!part.empty()) path += (path.empty() ? "" : "/") + part;
    }
    return path;
}

// The output of a movie on a disc image: PLACE/IMAGE/PATH with the movie's
// extension replaced by .mpg, where PLACE is the output folder of -o or the
// folder that holds the image, and IMAGE the image's name without its
// extension; place is set to PLACE.
std::string disc_output_name(const std::string& image, const std::string& disc_path, const char* out_dir,
                             std::string& place)
{
    std::size_t name = image.size();
    while (name > 0 && !is_path_separator(image[name - 1])) --name;
    place = out_dir != nullptr ? out_dir : image.substr(0, name);
    std::string output = place;
    const auto join = [&output](const std::string& part) {
        if (!output.empty() && !is_path_separator(output.back())) output += path_separator;
        output += part;
    };
    const std::string file = image.substr(name);
    join(file.substr(0, file.rfind('.')));
    for (std::size_t start = 0, end = 0; start < disc_path.size(); start = end + 1) {
        end = std::min(disc_path.find('/', start), disc_path.size());
        std::string part = disc_path.substr(start, end - start);
        if (end == disc_path.size()) part = part.substr(0, part.rfind('.')) + ".mpg";
        join(part);
    }
    return output;
}

// An input that names an image, or a path on one, that can't be opened, or
// a file on an image that lies outside its data tracks: nothing is
// converted, and why is said in its turn.
void add_failure(run_plan& plan, const std::string& input, const settings& options, const std::string& why)
{
    conversion job;
    job.input = input;
    job.options = options;
    job.failure = why;
    plan.jobs.push_back(std::move(job));
}

// The movies of a disc image, each a conversion: every .SFD file of its
// disc, or, with a path on the disc, the file it names or the movies in the
// folder it names.
void add_disc_movies(run_plan& plan, const char* arg, const std::string& image_path, const std::string& under,
                     const settings& options)
{
    auto disc = std::make_shared<disc_image>();
    std::vector<disc_entry> entries;
    std::string why;
    if (!open_disc_image(image_path, *disc, why) || !list_disc_files(*disc, entries, why))
        return add_failure(plan, arg, options, why);
    std::vector<const disc_entry*> movies;
    if (under.empty()) {
        for (const disc_entry& e : entries)
            if (!e.folder && is_movie_name(e.path)) movies.push_back(&e);
    } else {
        const auto named = std::find_if(entries.begin(), entries.end(),
                                        [&under](const disc_entry& e) { return same_name(e.path, under); });
        if (named == entries.end()) return add_failure(plan, arg, options, error_text(ENOENT));
        for (const disc_entry& e : entries) {
            const bool inside = e.path.size() > under.size() && e.path[under.size()] == '/' &&
                                same_name(std::string_view(e.path).substr(0, under.size()), under);
            if ((&e == &*named && !e.folder) || (named->folder && inside && !e.folder && is_movie_name(e.path)))
                movies.push_back(&e);
        }
    }
    if (movies.empty())
        return add_failure(plan, arg, options, under.empty() ? "no SFD movie on its disc" : "no SFD movie there");
    for (const disc_entry* e : movies) {
        // A file that the image does not hold fails alone; the others convert.
        if (e->outside) {
            add_failure(plan, image_path + "/" + e->path, options, "the file lies outside the data tracks");
            continue;
        }
        conversion job;
        job.input = image_path + "/" + e->path;
        job.output = disc_output_name(image_path, e->path, options.out_dir, job.output_base);
        job.options = options;
        // A movie that runs past the end of the image converts from the sectors that are there.
        const std::uint64_t sectors = (std::uint64_t{e->bytes} + block_bytes - 1) / block_bytes;
        const std::uint32_t there = data_sectors_from(*disc, e->extent);
        job.place = {disc, e->extent, std::min<std::uint64_t>(e->bytes, std::uint64_t{there} * block_bytes)};
        job.missing = static_cast<std::uint32_t>(sectors > there ? sectors - there : 0);
        plan.jobs.push_back(std::move(job));
    }
}

// Walks the arguments: options change the settings of the inputs after
// them; -j sets the run's number of conversions at once.
run_plan parse_arguments(int argc, char** argv)
{
    run_plan plan;
    settings options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_help(arg) || std::strcmp(arg, "--version") == 0) {
            plan.what = is_help(arg) ? run_plan::help : run_plan::version;
            return plan;
        }
        if (std::strcmp(arg, "--list") == 0 || std::strcmp(arg, "--progress") == 0) {
            (arg[2] == 'l' ? plan.list : plan.progress) = true;
            continue;
        }
        if (arg[0] != '-' && is_disc_image_name(arg)) {
            add_disc_movies(plan, arg, arg, "", options);
            continue;
        }
        if (const std::size_t image = arg[0] != '-' ? image_part(arg) : 0; image > 0) {
            add_disc_movies(plan, arg, std::string(arg, image), disc_path_of(arg + image + 1), options);
            continue;
        }
        if (arg[0] != '-') {
            conversion job;
            job.input = arg;
            job.output = make_output_name(arg, options.out_dir);
            job.options = options;
            plan.jobs.push_back(std::move(job));
            continue;
        }
        // Only the second character counts; unknown options are ignored.
        if (arg[1] == 'c' && ++i < argc) options.encoder = {encoder_choice::external, argv[i], nullptr};
        if (arg[1] == 'b') {
            const char* bitrate = option_number(argc, argv, i);
            if (bitrate == nullptr) {
                plan.what = run_plan::bad_bitrate;
                return plan;
            }
            options.encoder = {encoder_choice::builtin, nullptr, bitrate};
        }
        if (arg[1] == 'o' && ++i < argc) options.out_dir = argv[i];
        if (arg[1] == 'v') options.verbose = true;
        if (arg[1] == 'l') options.level = adx_level::full;
        if (arg[1] == 'j' && !parse_parallel(argc, argv, i, plan.parallel)) {
            plan.what = run_plan::bad_parallel;
            return plan;
        }
        if (arg[1] == 'j') plan.encoding_threads = plan.parallel;
    }
    return plan;
}

// Gives every input without -c or -b the default encoder, found once.
void choose_encoders(std::vector<conversion>& jobs, messages& console)
{
    encoder_choice fallback;
    for (conversion& job : jobs) {
        job.encoder = job.options.encoder;
        if (job.encoder.what != encoder_choice::standard) continue;
        if (fallback.what == encoder_choice::standard) fallback = default_encoder(console);
        job.encoder = fallback;
    }
}

// "vornalt: N of M movies failed: A, B", naming at most ten.
void tell_failures(const std::vector<conversion>& jobs, const std::vector<bool>& results, messages& console)
{
    constexpr std::size_t named = 10;
    std::size_t failed = 0;
    std::string names;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (results[i]) continue;
        if (failed < named) names += (failed > 0 ? ", " : "") + jobs[i].input;
        ++failed;
    }
    if (failed == 0) return;
    if (failed > named) names += ", and " + std::to_string(failed - named) + " more";
    tell(console, "vornalt: %s of %s movies failed: %s\n", std::to_string(failed).c_str(),
         std::to_string(jobs.size()).c_str(), names.c_str());
}

}  // namespace

std::string make_output_name(const char* input, const char* out_dir)
{
    if (out_dir != nullptr) {
        // The file name alone, after the last separator of either kind.
        const char* name = input;
        for (const char* p = input; *p != '\0'; ++p)
            if (*p == '/' || *p == '\\') name = p + 1;
        std::string folder = out_dir;
        if (!folder.empty() && !is_path_separator(folder.back())) folder += path_separator;
        return folder + make_output_name(name);
    }
    const char* base = std::strrchr(input, '\\');
    std::string name = base != nullptr ? base + 1 : input;
    // Only the file name's own dot starts an extension, never one in a folder name.
    const std::size_t slash = name.find_last_of("/\\");
    const std::size_t file_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot >= file_start) name.resize(dot);
    return name + ".mpg";
}

// --list: each movie as the conversions name it, with its bytes; an input
// that can't be read as a conversion's that fails. False when any can't.
bool list_movies(const std::vector<conversion>& jobs, messages& console)
{
    bool listed = true;
    for (const conversion& job : jobs) {
        std::error_code error;
        std::uint64_t bytes = job.place.bytes;
        if (job.failure.empty() && job.place.disc == nullptr) {
            bytes = std::filesystem::file_size(job.input, error);
            if (!error && std::filesystem::is_directory(job.input, error))
                error = std::make_error_code(std::errc::is_a_directory);
        }
        if (!job.failure.empty() || error) {
            say(console, "can't open %s\n", job.input.c_str());
            tell(console, "vornalt: %s: %s\n", job.input.c_str(),
                 job.failure.empty() ? error_text(error.value()).c_str() : job.failure.c_str());
            listed = false;
            continue;
        }
        say(console, "%s %llu\n", job.input.c_str(), static_cast<unsigned long long>(bytes));
    }
    return listed;
}

int run(int argc, char** argv)
{
    messages console;  // what the run itself prints, at once
    if (argc < 2) {
        say(console, "%s", usage_text);
        tell(console, "vornalt: -h lists the options\n");
        return -1;
    }
    run_plan plan = parse_arguments(argc, argv);
    switch (plan.what) {
    case run_plan::help:
        say(console, "%s", help_text);
        return 0;
    case run_plan::version:
        say(console, "vornalt %s\n", VORNALT_VERSION);
        return 0;
    case run_plan::bad_parallel:
        tell(console, "vornalt: -j takes a number of conversions, as in -j 4\n");
        return -1;
    case run_plan::bad_bitrate:
        tell(console, "vornalt: -b takes a bit rate in kbit/s, as in -b 192\n");
        return -1;
    case run_plan::convert:
        break;
    }
    if (plan.list) return list_movies(plan.jobs, console) ? 0 : 1;
    for (conversion& job : plan.jobs) job.progress = plan.progress;
    choose_encoders(plan.jobs, console);
    set_thread_budget(plan.encoding_threads != 0 ? plan.encoding_threads : processor_count());
    const std::vector<bool> results = run_conversions(plan.jobs, plan.parallel);
    tell_failures(plan.jobs, results, console);
    return std::find(results.begin(), results.end(), false) != results.end() ? 1 : 0;
}
