#include "display_mode.h"

#include <stdio.h>
#include <string.h>

static int within(const DGL_DISPLAY_MODE* m, DGL_CARD_LIMITS limits) {
  return m->width >= limits.min_width && m->width <= limits.max_width &&
         m->height >= limits.min_height && m->height <= limits.max_height;
}

// The preferred mode; a preferred mode the card cannot scan out gives way to the first one
// it can, and with no preference the display's first mode is taken.
static int default_mode(const DGL_DISPLAY_MODE* modes, int count, DGL_CARD_LIMITS limits) {
  for (int i = 0; i < count; i++)
    if (modes[i].preferred && within(&modes[i], limits)) return i;
  for (int i = 0; i < count; i++)
    if (within(&modes[i], limits)) return i;
  return -1;
}

int _dglChooseMode(const DGL_DISPLAY_MODE* modes, int count, DGL_CARD_LIMITS limits,
                   const char* wanted, const char* card, char* why, int size) {
  if (!wanted || !*wanted) {
    int chosen = default_mode(modes, count, limits);
    if (chosen < 0)
      snprintf(why, (size_t)size, "%s: no mode of the display fits the card's %ux%u to %ux%u", card,
               limits.min_width, limits.min_height, limits.max_width, limits.max_height);
    return chosen;
  }
  unsigned w = 0, h = 0, hz = 0;
  char end;
  int n = sscanf(wanted, "%ux%u@%u%c", &w, &h, &hz, &end);
  if (n != 3 && !(sscanf(wanted, "%ux%u%c", &w, &h, &end) == 2)) {
    snprintf(why, (size_t)size, "DGL_MODE=%s: expected WxH or WxH@Hz", wanted);
    return -1;
  }
  for (int i = 0; i < count; i++)
    if (modes[i].width == w && modes[i].height == h && (n != 3 || modes[i].refresh == hz)) return i;
  char list[1024] = "";
  size_t used = 0;
  for (int i = 0; i < count && used < sizeof list; i++) {
    char one[40];
    snprintf(one, sizeof one, " %ux%u@%u", modes[i].width, modes[i].height, modes[i].refresh);
    // Modes that differ only in timings read the same: list them once.
    const char* seen = strstr(list, one);
    if (seen && (seen[strlen(one)] == ' ' || seen[strlen(one)] == 0)) continue;
    used += (size_t)snprintf(list + used, sizeof list - used, "%s", one);
  }
  snprintf(why, (size_t)size, "DGL_MODE=%s is not a mode of %s; it has:%s", wanted, card, list);
  return -1;
}
