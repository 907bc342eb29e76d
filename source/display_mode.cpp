#include "display_mode.h"

#include <stdio.h>
#include <string.h>

static int within(const DGL_DISPLAY_MODE* m, DGL_CARD_LIMITS limits) {
  return m->width >= limits.min_width && m->width <= limits.max_width &&
         m->height >= limits.min_height && m->height <= limits.max_height;
}

// The show is 1280x720, scaled into the largest 16:9 rectangle of the mode: a rectangle
// above 1920x1080 only costs scaling work on a small GPU. A wider or taller mode's bars cost
// nothing worth counting (an ultra-wide 2560x1080 shows the show at 1920x1080 between
// pillars, at its own aspect, where its 1920x1080 mode would be stretched).
static int at_most_1080p(const DGL_DISPLAY_MODE* m) {
  unsigned long w = m->width, h = m->height;
  unsigned long fit_w = w * 9 > h * 16 ? h * 16 / 9 : w, fit_h = w * 9 > h * 16 ? h : w * 9 / 16;
  return fit_w <= 1920 && fit_h <= 1080;
}

static int smaller_than_720p(const DGL_DISPLAY_MODE* m) { return m->width < 1280 && m->height < 720; }

// Same shape as the panel's own mode: a mode of another aspect is stretched by the display,
// and the show's round faces with it.
static int same_aspect(const DGL_DISPLAY_MODE* a, const DGL_DISPLAY_MODE* b) {
  return (unsigned long)a->width * b->height == (unsigned long)b->width * a->height;
}

// Whether mode a is the better choice than b when the preferred mode will not do: at most
// 1080p where the show lands; then 50 Hz or more; then the preferred mode's shape, since a
// display stretches a mode of another aspect (a 4:3 mode at 85 Hz on a 16:9 TV is worse
// than 1080p at 60); then the highest refresh; then the largest.
static int better(const DGL_DISPLAY_MODE* a, const DGL_DISPLAY_MODE* b, const DGL_DISPLAY_MODE* preferred) {
  if (at_most_1080p(a) != at_most_1080p(b)) return at_most_1080p(a);
  if ((a->refresh >= 50) != (b->refresh >= 50)) return a->refresh >= 50;
  if (preferred && same_aspect(a, preferred) != same_aspect(b, preferred)) return same_aspect(a, preferred);
  if (a->refresh != b->refresh) return a->refresh > b->refresh;
  return (unsigned long)a->width * a->height > (unsigned long)b->width * b->height;
}

// The display's preferred mode when the card can scan it out, it is no larger than 1080p and
// refreshes at 50 Hz or more; otherwise the best of the rest (a 4K TV at 30 Hz gets 1080p at
// 60). A panel that has nothing as large as 720p keeps its preferred mode.
static int default_mode(const DGL_DISPLAY_MODE* modes, int count, DGL_CARD_LIMITS limits) {
  int preferred = -1;
  for (int i = 0; i < count && preferred < 0; i++)
    if (modes[i].preferred) preferred = i;
  // Without a preference the kernel lists the display's first choice first.
  if (preferred < 0 && count > 0) preferred = 0;
  int all_small = 1;
  for (int i = 0; i < count; i++) all_small &= smaller_than_720p(&modes[i]);
  if (preferred >= 0 && within(&modes[preferred], limits) &&
      ((at_most_1080p(&modes[preferred]) && modes[preferred].refresh >= 50) || all_small))
    return preferred;
  int best = -1;
  for (int i = 0; i < count; i++)
    if (within(&modes[i], limits) &&
        (best < 0 || better(&modes[i], &modes[best], preferred >= 0 ? &modes[preferred] : NULL)))
      best = i;
  return best;
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
  int listed = -1;
  for (int i = 0; i < count; i++) {
    if (modes[i].width != w || modes[i].height != h || (n == 3 && modes[i].refresh != hz)) continue;
    if (within(&modes[i], limits)) return i;
    listed = i;
  }
  if (listed >= 0) {
    snprintf(why, (size_t)size, "DGL_MODE=%s is a mode of the display, but %s can only show %ux%u to %ux%u",
             wanted, card, limits.min_width, limits.min_height, limits.max_width, limits.max_height);
    return -1;
  }
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
