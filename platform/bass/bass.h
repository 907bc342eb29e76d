// BASS 2.4: the part of the audio library's published interface that this
// program uses, with the library's own types, constants and prototypes, so the
// same code builds against the real libbass or against the stand-in here.
#ifndef BASS_H
#define BASS_H

#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#else
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#endif

#define BASSVERSION 0x204

typedef DWORD HMUSIC;    // MOD music handle
typedef DWORD HSAMPLE;   // sample handle
typedef DWORD HCHANNEL;  // playing sample's channel handle
typedef DWORD HSTREAM;   // sample stream handle

// BASS_SetConfig options
#define BASS_CONFIG_BUFFER 0
#define BASS_CONFIG_UPDATEPERIOD 1
#define BASS_CONFIG_DEV_BUFFER 27

// Sample, stream and music flags
#define BASS_SAMPLE_8BITS 1
#define BASS_SAMPLE_MONO 2
#define BASS_SAMPLE_LOOP 4
#define BASS_SAMPLE_FLOAT 256

#define BASS_MUSIC_RAMP 0x200
#define BASS_MUSIC_RAMPS 0x400
#define BASS_MUSIC_PT1MOD 0x4000
#define BASS_MUSIC_NONINTER 0x10000
#define BASS_MUSIC_SINCINTER 0x800000

// BASS_ChannelIsActive results
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

#ifdef __cplusplus
extern "C" {
#endif

DWORD BASS_GetVersion(void);
BOOL BASS_SetConfig(DWORD option, DWORD value);
#ifdef _WIN32
BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* dsguid);
#else
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* dsguid);
#endif
BOOL BASS_Free(void);

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
HMUSIC BASS_MusicLoad(BOOL mem, const void* file, QWORD offset, DWORD length, DWORD flags,
                      DWORD freq);

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
DWORD BASS_ChannelIsActive(DWORD handle);

#ifdef __cplusplus
}
#endif

#endif
