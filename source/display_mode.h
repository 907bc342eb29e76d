// Which of a display's modes the KMS console half sets: a pure function of the connector's
// mode list, the card's limits and what DGL_MODE asks for, so it is tested over the mode
// lists of real displays without a card.
#pragma once

struct DGL_DISPLAY_MODE {
  unsigned int width, height, refresh;  // pixels, pixels, Hz
  int preferred;                        // the display's own preferred mode
};

// drmModeRes's limits: the sizes of framebuffer the card can scan out.
struct DGL_CARD_LIMITS {
  unsigned int min_width, max_width, min_height, max_height;
};

// The index of the mode to set, or -1 with `why` saying what is wrong (the line that is
// printed, `card` naming the card). `wanted` is DGL_MODE: NULL or empty for the default (the
// preferred mode when the card can show it, the show's 16:9 rectangle in it is at most
// 1920x1080 and it refreshes at 50 Hz or more; else the mode the card can show whose 16:9
// rectangle is at most 1920x1080, at 50 Hz or more, of the preferred mode's aspect, of the
// highest refresh, the largest; a panel with nothing as large as 720p keeps its preferred
// mode), else "WxH" or "WxH@Hz": the first listed match that the card can show.
int _dglChooseMode(const DGL_DISPLAY_MODE* modes, int count, DGL_CARD_LIMITS limits,
                   const char* wanted, const char* card, char* why, int size);
