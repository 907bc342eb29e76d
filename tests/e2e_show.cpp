// The whole show as a user gets it: the real binary from a terminal, its sequences, its
// exits, and what it puts on an X screen.
#include "fixtures.h"  // first: it includes Xlib after GoogleTest

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <libopenmpt/libopenmpt.h>

#include "coverflow.h"
#include "gl_context.h"
static const std::vector<std::string> kHeadless = {"DGL_PLATFORM=headless", "SDL_AUDIODRIVER=dummy"};

static std::vector<std::string> ErrorLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ERROR: ", 0) == 0) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
  return lines;
}

TEST(Show, RunsTheCarouselThenTheScrollerToTheModulesEnd) {
  std::ifstream f(kBin + "/data/quorvelt.mod", std::ios::binary);
  const std::string mod((std::istreambuf_iterator<char>(f)), {});  // how long the module plays
  openmpt_module* m = openmpt_module_create_from_memory2(mod.data(), mod.size(), 0, 0, 0, 0, 0, 0, 0);
  ASSERT_NE(m, nullptr) << "quorvelt.mod did not load";
  const double module = openmpt_module_get_duration_seconds(m), start = (openmpt_module_destroy(m), NowSeconds());
  Child demo;
  ASSERT_TRUE(demo.StartOnTerminal({kBin + "/demo"}, kHeadless));
  EXPECT_EQ(demo.Wait(36.25 + module + 300), 0) << demo.output;
  // The carousel's 36.25 s, then the module played to its end: nothing ended it early.
  EXPECT_GE(NowSeconds() - start, 36.25 + module - 0.5);
  EXPECT_TRUE(ErrorLines(demo.output).empty()) << demo.output;
}

// The real demo on an X screen of its own, against the same moment drawn here by the scene's
// functions on a context set up as the design says: with no argument the first stop after
// the slide from cover 5 (2.25 s to 10 s: cover 7, caption 0 shown), with one the held
// last picture (cover 5, caption 3 shown, its first 7 s). Frames that keep what an earlier
// one drew, or covers that ignore depth, do not match. A key then ends the demo with 0, its
// terminal back in the mode it had. Started as a desktop menu starts it, with /dev/null for
// input and no terminal, it shows the same and a key in its window ends it.
TEST(ShowPicture, TheDemosOwnFramesAreTheCarouselDrawnFresh) {
  const struct { std::vector<std::string> args; float position; int caption; bool terminal; } shows[] = {
      {{}, -7, 0, true}, {{"skip"}, -5, 3, true}, {{}, -7, 0, false}};
  for (const auto& show : shows) {
    SCOPED_TRACE(std::to_string(show.args.size()) + (show.terminal ? "" : ", no terminal"));
    GlContext gl;
    gl.SetUp();
    ASSERT_EQ(coverflow_init(), 0);
    gl_clear(0, 0, 0), coverflow_render(show.position), coverflow_render_text(show.caption, 1.0f);
    const std::vector<uint8_t> want = gl_pixels();
    gl.TearDown();
    Xvfb x;
    std::vector<std::string> argv = show.args;
    argv.insert(argv.begin(), kBin + "/demo");
    ASSERT_TRUE(x.Start(1280, 720));
    // One connection held throughout: a server whose last client leaves resets, failing a demo starting then.
    Display* screen_of = XOpenDisplay(x.display.c_str());
    ASSERT_NE(screen_of, nullptr);
    Child demo;
    const std::vector<std::string> env = {"DGL_PLATFORM=x11", "DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy"};
    ASSERT_TRUE(show.terminal ? demo.StartOnTerminal(argv, env) : demo.StartWithoutTerminal(argv, -1, env));
    // Screens until one matches. The first to show the demo's window (a black top row, not the patterned
    // root) with something drawn comes after the show's clock started: 12 s on, the moment is over.
    int fewest = 1280 * 720 * 3, status = -1;
    for (double shown = 0; (status = demo.Wait(0)) == -1 && fewest > 0 && (!shown || NowSeconds() < shown + 12);) {
      Picture screen;
      if (!screen.Grab(screen_of)) continue;
      int differ = 0, lit = 0;
      for (int i = 0; i < 1280 * 720 * 3; i++)  // the GL picture's rows are bottom first
        differ += abs(screen.rgb[i] - want[((719 - i / 3840) * 1280 + i % 3840 / 3) * 4 + i % 3]) > 2, lit += screen.rgb[i] > 0;
      if (!shown && lit && std::all_of(screen.rgb.begin(), screen.rgb.begin() + 3 * 1280, [](uint8_t c) { return !c; }))
        shown = NowSeconds();
      fewest = std::min(fewest, differ);
    }
    EXPECT_EQ(fewest, 0) << "pixel channels off in the closest screen";
    ASSERT_EQ(status, -1) << "the demo ended by itself:\n" << demo.output;
    if (show.terminal) {
      demo.Type("q");
    } else {
      XTestFakeKeyEvent(screen_of, XKeysymToKeycode(screen_of, XK_space), True, 0);
      XTestFakeKeyEvent(screen_of, XKeysymToKeycode(screen_of, XK_space), False, 0);
      XFlush(screen_of);
    }
    EXPECT_EQ(demo.Wait(), 0) << demo.output;
    // Xvfb draws with Mesa's llvmpipe: a board in that state would crawl, and is told why.
    EXPECT_NE(demo.output.find("display: x11 draws with a software renderer (llvmpipe"), std::string::npos) << demo.output;
    if (show.terminal) {
      termios after;  // the poll's raw mode undone: the terminal cooked and echoing again
      tcgetattr(demo.slave, &after);
      EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t(ICANON | ECHO));
    }
    XCloseDisplay(screen_of);
  }
}

// Without a terminal: a byte waiting on a pipe is a key as ever, and ends the show at once
// (the carousel alone lasts 36 s); offscreen, where nothing can be typed, a line says what
// ends the show, and SIGTERM ends it with 0.
TEST(ShowWithoutTerminal, AWaitingByteOrSIGTERMEndsItWith0) {
  Xvfb x;
  ASSERT_TRUE(x.Start(640, 480));
  int carries[2];
  ASSERT_EQ(pipe(carries), 0);
  ASSERT_EQ(write(carries[1], "q", 1), 1);
  close(carries[1]);
  Child keyed;
  ASSERT_TRUE(keyed.StartWithoutTerminal({kBin + "/demo"}, carries[0], {"DGL_PLATFORM=x11", "DISPLAY=" + x.display, "SDL_AUDIODRIVER=dummy"}));
  close(carries[0]);
  EXPECT_EQ(keyed.Wait(), 0) << keyed.output;

  Child offscreen;
  ASSERT_TRUE(offscreen.StartWithoutTerminal({kBin + "/demo"}, -1, kHeadless));
  ASSERT_TRUE(offscreen.WaitFor("input: standard input is not a terminal: the show ends with its music, or on SIGINT, SIGTERM or SIGHUP\n"))
      << offscreen.output;
  kill(offscreen.pid, SIGTERM);
  EXPECT_EQ(offscreen.Wait(), 0) << offscreen.output;
  EXPECT_EQ(offscreen.output.find("software renderer"), std::string::npos) << "offscreen, nobody watches:\n" << offscreen.output;
}

// A copy of the demo beside a data folder with one file left out or replaced: status 255
// and only the error lines of the loader that met it.
TEST(BrokenData, ExitsWith255AndTheLoadersOwnLines) {
  const struct { std::string file, replacement, module; std::vector<std::string> messages; } cases[] = {
      {"cover4.ktx", "", "file_io.cpp", {"File not found 'cover4.ktx'."}},
      {"font.fsh", "#version 100\nvoid main() { gl_FragColor = nope; }\n", "shader.cpp", {"Shader failed to compile:", ""}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ScratchData data;
    ASSERT_TRUE(data.LinkAllBut(c.file));
    if (!c.replacement.empty()) std::ofstream(data.dir + "/data/" + c.file) << c.replacement;
    ASSERT_EQ(system(("cp '" + kBin + "/demo' '" + data.dir + "/demo'").c_str()), 0);
    Child demo;
    ASSERT_TRUE(demo.StartOnTerminal({data.dir + "/demo"}, kHeadless));
    EXPECT_EQ(demo.Wait(), 255) << demo.output;
    const std::vector<std::string> errors = ErrorLines(demo.output);
    ASSERT_EQ(errors.size(), c.messages.size()) << demo.output;
    for (size_t i = 0; i < errors.size(); i++) {
      EXPECT_EQ(errors[i].rfind("ERROR: ../source/" + c.module + "(", 0), 0u) << errors[i];
      EXPECT_NE(errors[i].find("): " + c.messages[i]), std::string::npos) << errors[i];
    }
  }
}
