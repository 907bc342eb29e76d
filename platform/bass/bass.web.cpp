// The BASS 2.4 calls of the program, in a browser: Web Audio plays what the page's own
// decoder makes of the files. The MP3 stream is decoded by the browser and loops on the
// decoded buffer, so the join has no seam. A module cannot be played by a browser: in its
// place the page plays the native build's own rendering of it (the same file name with
// ".flac", made at build time by demo-capture and shipped losslessly), played once.
// The page's AudioContext is Module.dglAudio; its output node Module.dglOutput.
#include <emscripten.h>
#include <string.h>

#include "bass.h"
#include "bass_offline.h"

// Decodes a preloaded file into a channel; its handle, or 0 when the file is missing or
// not sound the browser can decode.
EM_ASYNC_JS(int, web_decode, (const char* path, int loop), {
  const context = Module.dglAudio;
  if (!context) return 0;
  let bytes;
  try {
    bytes = FS.readFile(UTF8ToString(path));
  } catch (e) {
    return 0;
  }
  let buffer;
  try {
    buffer = await context.decodeAudioData(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength));
  } catch (e) {
    return 0;
  }
  Module.dglChannels = Module.dglChannels || [null];
  Module.dglChannels.push({buffer: buffer, loop: !!loop, node: null, started: 0});
  return Module.dglChannels.length - 1;
});

EM_JS(int, web_play, (int handle), {
  const c = Module.dglChannels && Module.dglChannels[handle];
  if (!c) return 0;
  if (c.node) c.node.stop();
  c.node = Module.dglAudio.createBufferSource();
  c.node.buffer = c.buffer;
  c.node.loop = c.loop;
  c.node.connect(Module.dglOutput || Module.dglAudio.destination);
  // A test may start a module late (the page's "late"), so that its end comes soon.
  const late = c.loop ? 0 : Math.min(Module.dglLate || 0, c.buffer.duration);
  c.node.start(0, late);
  Module.dglDelay = undefined;
  // The show's clock and the music start together; the clock is performance.now().
  c.started = performance.now() - late * 1000;
  return 1;
});

EM_JS(int, web_active, (int handle), {
  const c = Module.dglChannels && Module.dglChannels[handle];
  if (!c || !c.node) return 0;
  return c.loop || performance.now() - c.started < c.buffer.duration * 1000 ? 1 : 0;
});

EM_JS(void, web_stop_all, (), {
  for (const c of Module.dglChannels || []) {
    if (c && c.node) c.node.stop();
  }
  Module.dglChannels = [null];
});

static int initialized;

extern "C" {

DWORD BASS_GetVersion(void) { return (DWORD)BASSVERSION << 16; }

BOOL BASS_SetConfig(DWORD option, DWORD value) {
  (void)value;
  return option == BASS_CONFIG_DEV_BUFFER || option == BASS_CONFIG_BUFFER;
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* dsguid) {
  (void)freq, (void)flags, (void)win, (void)dsguid;
  if (initialized || (device != -1 && device != 1)) return FALSE;
  initialized = EM_ASM_INT({ return Module.dglAudio ? 1 : 0; });
  return initialized;
}

BOOL BASS_Free(void) {
  if (!initialized) return FALSE;
  web_stop_all();
  initialized = 0;
  return TRUE;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
  (void)offset, (void)length;
  if (!initialized || mem) return 0;
  // Only MPEG streams: a browser would decode other kinds, which a BASS stream would not.
  const char* dot = strrchr((const char*)file, '.');
  if (!dot || strcmp(dot, ".mp3") != 0) return 0;
  return (HSTREAM)web_decode((const char*)file, (flags & BASS_SAMPLE_LOOP) != 0);
}

HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags, DWORD freq) {
  (void)offset, (void)length, (void)freq;
  if (!initialized || mem) return 0;
  char rendered[1024];
  const char* name = (const char*)file;
  const char* dot = strrchr(name, '.');
  size_t stem = dot ? (size_t)(dot - name) : strlen(name);
  if (stem + 6 > sizeof rendered) return 0;
  memcpy(rendered, name, stem);
  strcpy(rendered + stem, ".flac");
  return (HMUSIC)web_decode(rendered, (flags & BASS_SAMPLE_LOOP) != 0);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  (void)restart;
  return initialized && web_play((int)handle);
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  return web_active((int)handle) ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED;
}

// The browser's audio thread plays the decoded buffer: it never waits for a mix.
double BASSX_GetLateSeconds(void) { return 0.0; }

// What the page's audio context says lies between its rendering and the speakers, read once
// a start so the clock never jumps; none in the page's fixed-step mode, whose clock is its
// own step. Firefox answers outputLatency by asking its audio process while it holds its
// audio graph's lock, which now and then freezes the page for good (here about one start in
// ten, Firefox ESR 153): there only the base latency is counted.
EM_JS(double, web_output_latency, (), {
  const a = Module.dglAudio, firefox = navigator.userAgent.includes('Firefox/');
  if (Module.dglDelay === undefined) Module.dglDelay = a && !Module.dglFrameStarts ? (a.baseLatency || 0) + (firefox ? 0 : a.outputLatency || 0) : 0;
  return Module.dglDelay;
});
double BASSX_GetStartDelaySeconds(void) { return web_output_latency(); }

}  // extern "C"
