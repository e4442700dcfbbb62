// kelvra-render: renders a project's canvases to MP4 and its mix to WAV
// without a window, through the same queue, workers, composer and encoder as
// the editor's Render tab. For scripts, servers and benchmarks.
#include <strings.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "export/render.h"
#include "platform/clock.h"
#include "project/project.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) { g_interrupted = 1; }

constexpr char kUsage[] =
    "Usage: kelvra-render PROJECT.pjn [--canvas NAME]... [--wav] [--loudness TARGET|off]\n"
    "                     [--out DIR] [--media DIR]\n"
    "\n"
    "Renders a project without a window: one MP4 (H.264, 30 frames a second, AAC\n"
    "48 kHz stereo) per canvas, and with --wav the mix as a 16-bit 48 kHz WAV.\n"
    "\n"
    "  --canvas NAME  render this canvas (repeatable); \"open\" names every\n"
    "                 canvas open in the project. Without --canvas and\n"
    "                 without --wav, the open canvases are rendered\n"
    "  --wav          render the sound mix to WAV\n"
    "  --loudness TARGET|off\n"
    "                 bring the sound to TARGET LUFS (-40 to -5) with true\n"
    "                 peaks at most -1 dBTP: -14 suits YouTube, Instagram,\n"
    "                 LinkedIn and SoundCloud, -16 other destinations; off\n"
    "                 keeps the mix as it is. Default: the project's setting\n"
    "  --out DIR      write the files into DIR (default: the media folder)\n"
    "  --media DIR    read the project's media from DIR (default: the folder\n"
    "                 of PROJECT.pjn)\n"
    "  --help         show this text\n"
    "\n"
    "Canvas names:";

void print_usage(FILE* out) {
  std::fputs(kUsage, out);
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    const CanvasPreset& preset = kelvra_canvases[i];
    std::fprintf(out, "%s %s (%u x %u)", i % 2 == 0 ? "\n " : ",", preset.key, preset.width, preset.height);
  }
  std::fputs("\n\nA progress line shows percent, frames a second and time left. The files\n"
             "written are printed when done. Ctrl+C cancels and leaves no file behind.\n"
             "Exit status: 0 when every file was written, 1 when one failed or was\n"
             "cancelled, 2 for wrong arguments or a project that does not open.\n",
             out);
}

int usage_error(const char* text, const char* argument) {
  std::fprintf(stderr, "kelvra-render: %s%s\nTry 'kelvra-render --help'.\n", text, argument);
  return 2;
}

// The preset with key or label `name` (either case); KELVRA_CANVAS_COUNT when none.
uint32_t canvas_named(const char* name) {
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i)
    if (strcasecmp(kelvra_canvases[i].key, name) == 0 || strcasecmp(kelvra_canvases[i].label, name) == 0) return i;
  return KELVRA_CANVAS_COUNT;
}

struct Options {
  const char* project;
  const char* out;
  const char* media;
  uint32_t canvases;
  bool open_canvases;
  bool wav;
  bool set_loudness;
  double loudness;  // LUFS; 0 for off
};

// 0 when the arguments hold; otherwise the exit status (after --help, 0 too, with `done` set).
int parse(int argc, char** argv, Options* options, bool* done) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      print_usage(stdout);
      *done = true;
      return 0;
    } else if (std::strcmp(arg, "--wav") == 0) {
      options->wav = true;
    } else if (std::strcmp(arg, "--loudness") == 0) {
      if (!has_value) return usage_error("missing value after ", arg);
      const char* value = argv[++i];
      if (!kelvra_loudness_parse(value, &options->loudness))
        return usage_error("--loudness takes off or a target from -40 to -5 LUFS: ", value);
      options->set_loudness = true;
    } else if (std::strcmp(arg, "--canvas") == 0 || std::strcmp(arg, "--out") == 0 ||
               std::strcmp(arg, "--media") == 0) {
      if (!has_value) return usage_error("missing value after ", arg);
      const char* value = argv[++i];
      if (arg[2] == 'c') {
        if (strcasecmp(value, "open") == 0) {
          options->open_canvases = true;
          continue;
        }
        const uint32_t canvas = canvas_named(value);
        if (canvas == KELVRA_CANVAS_COUNT) return usage_error("unknown canvas: ", value);
        options->canvases |= 1u << canvas;
      } else {
        (arg[2] == 'o' ? options->out : options->media) = value;
      }
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return usage_error("unknown option: ", arg);
    } else if (options->project != nullptr) {
      return usage_error("more than one project: ", arg);
    } else {
      options->project = arg;
    }
  }
  if (options->project == nullptr) return usage_error("no project given", "");
  return 0;
}

// A folder as a full path that fits the program's path buffers.
bool folder_path(const char* folder, char* out) {
  char* resolved = realpath(folder, nullptr);
  if (resolved == nullptr) return false;
  const bool fits = std::strlen(resolved) < KELVRA_PATH_SIZE;
  if (fits) std::snprintf(out, KELVRA_PATH_SIZE, "%s", resolved);
  std::free(resolved);
  return fits;
}

bool project_folder(const char* project, char* out) {
  char folder[4096];
  std::snprintf(folder, sizeof folder, "%s", project);
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) return folder_path(".", out);
  *(slash == folder ? slash + 1 : slash) = '\0';
  return folder_path(folder, out);
}

// The progress of all jobs: percent, pictures a second, seconds left.
void show_progress(const RenderRow* rows, uint64_t count, double seconds, uint64_t started_ms, bool terminal,
                   int* last_shown) {
  double done = 0;
  double pictures = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const double fraction = rows[i].state == RENDER_READY ? 1.0 : rows[i].progress;
    done += fraction;
    if (!rows[i].is_wav) pictures += fraction * seconds * RENDER_FPS;
  }
  const double fraction = count > 0 ? done / static_cast<double>(count) : 0;
  const double elapsed = static_cast<double>(ui_time_ms() - started_ms) / 1000.0;
  const double fps = elapsed > 0 ? pictures / elapsed : 0;
  const double left = fraction > 0.001 ? elapsed * (1 - fraction) / fraction : 0;
  const int percent = static_cast<int>(fraction * 100);
  if (terminal) {
    std::fprintf(stderr, "\r%3d%%  %6.1f fps  %4.0fs left ", percent, fps, left);
  } else if (percent / 10 != *last_shown / 10) {
    std::fprintf(stderr, "%d%%  %.1f fps  %.0fs left\n", percent, fps, left);
  }
  *last_shown = percent;
}

// Polls until every worker has been joined and its row brought up to date.
void collect_all(RenderQueue* queue) {
  for (bool running = true; running;) {
    render_queue_poll(queue);
    running = false;
    for (uint64_t i = 0; i < queue->job_count; ++i) running |= queue->jobs[i].thread != nullptr;
    if (running) ui_sleep_ms(20);
  }
}

}  // namespace

// What one run holds: the project, its media folder and the queue.
struct Run {
  Project project;
  char media_folder[KELVRA_PATH_SIZE];
  RenderQueue* queue;
};

int main(int argc, char** argv) {
  Options options{};
  bool done = false;
  const int parsed = parse(argc, argv, &options, &done);
  if (parsed != 0 || done) return parsed;
  if (options.canvases == 0 && !options.wav) options.open_canvases = true;

  Run* run = static_cast<Run*>(std::calloc(1, sizeof(Run)));
  if (run == nullptr) return usage_error("out of memory", "");
  Project& project = run->project;
  const bool media_ok = options.media != nullptr ? folder_path(options.media, run->media_folder)
                                                 : project_folder(options.project, run->media_folder);
  if (!media_ok) {
    std::free(run);
    if (options.media != nullptr) return usage_error("cannot use the media folder ", options.media);
    return usage_error("cannot use the media folder of ", options.project);
  }
  if (!kelvra_project_open(&project, options.project)) {
    std::free(run);
    return usage_error("not a project this program can open: ", options.project);
  }
  if (const uint64_t lost = kelvra_project_lost_clips(&project); lost > 0) {
    char text[160];
    kelvra_lost_clips_text(lost, text, sizeof text);
    std::fprintf(stderr, "kelvra-render: %s\n", text);
  }
  if (options.set_loudness) {
    project.loudness_off = options.loudness == 0.0;
    project.loudness_target = options.loudness;
  }
  const double seconds = project.timeline_end;
  int status = 0;
  if (!render_length_ok(seconds)) {
    std::fprintf(stderr, "kelvra-render: the timeline of %s is %s; nothing to render.\n", options.project,
                 seconds > 0 ? "longer than four hours" : "empty");
    status = 2;
  }
  run->queue = kelvra_render_create();
  RenderQueue* queue = run->queue;
  if (status == 0 && queue == nullptr) status = usage_error("out of memory", "");
  if (status == 0 && options.out != nullptr && !folder_path(options.out, queue->output_folder))
    status = usage_error("cannot write into ", options.out);
  const uint32_t canvases = options.canvases | (options.open_canvases ? kelvra_canvas_mask(&project) : 0);
  const RenderRequest pictures{&project, run->media_folder, canvases, false, 0, 0};
  const RenderRequest mix{&project, run->media_folder, 0, true, 0, 0};
  if (status == 0 && ((canvases != 0 && !render_queue_batch(queue, &pictures)) ||
                      (options.wav && !render_queue_batch(queue, &mix))))
    status = usage_error("could not queue the renders", "");

  struct sigaction action{};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const bool terminal = isatty(STDERR_FILENO) != 0;
  const uint64_t started_ms = ui_time_ms();
  RenderRow rows[RENDER_MAX_JOBS];
  int shown = -10;
  while (status == 0 && !g_interrupted) {
    render_queue_poll(queue);
    const uint64_t count = render_queue_rows(queue, rows);
    bool running = false;
    for (uint64_t i = 0; i < count; ++i) running |= rows[i].state < RENDER_READY;
    show_progress(rows, count, seconds, started_ms, terminal, &shown);
    if (!running) break;
    ui_sleep_ms(100);
  }
  if (terminal && status == 0) std::fputc('\n', stderr);
  const char* folder = queue != nullptr && queue->output_folder[0] != '\0' ? queue->output_folder : run->media_folder;
  if (g_interrupted && status == 0) {
    // Stop every job (each running one removes its partial file), then remove
    // what this run had already finished: a cancelled render leaves nothing.
    for (uint64_t i = 0; i < queue->job_count; ++i) render_queue_cancel(queue, i);
    collect_all(queue);
    for (uint64_t i = 0; i < queue->job_count; ++i) {
      char path[KELVRA_PATH_SIZE];
      if (queue->jobs[i].row.state == RENDER_READY && kelvra_path(folder, queue->jobs[i].row.file_name, path))
        unlink(path);
    }
    std::fprintf(stderr, "kelvra-render: cancelled; no file was written.\n");
    status = 1;
  }
  if (status == 0) {
    // A job may have ended since the last poll: its row holds its outcome
    // and message only once collected.
    collect_all(queue);
    const uint64_t count = render_queue_rows(queue, rows);
    for (uint64_t i = 0; i < count; ++i) {
      char title[100];
      kelvra_render_row_title(&rows[i], title, sizeof title);
      if (rows[i].state == RENDER_READY) {
        std::printf("%s/%s\n", folder, rows[i].file_name);
        char figures[100];
        kelvra_render_row_loudness(&rows[i], figures, sizeof figures);
        if (figures[0] != '\0') std::fprintf(stderr, "%s: %s\n", rows[i].file_name, figures);
      } else {
        std::fprintf(stderr, "kelvra-render: %s: %s\n", title,
                     rows[i].message[0] != '\0' ? rows[i].message : kelvra_render_state_label(rows[i].state));
        status = 1;
      }
    }
  }
  kelvra_render_destroy(queue);
  kelvra_project_close(&project);
  std::free(run);
  return status;
}
