#include "texture.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "file_io.h"
#include "log.h"

// The first 64 bytes of a KTX 1.1 file, native little-endian words.
struct KTX_HEADER {
  unsigned char identifier[12];
  uint32_t endianness;
  uint32_t type;
  uint32_t type_size;
  uint32_t format;
  uint32_t internal_format;
  uint32_t base_internal_format;
  uint32_t width;
  uint32_t height;
  uint32_t depth;
  uint32_t array_size;
  uint32_t num_faces;
  uint32_t num_mipmaps;
  uint32_t key_value_data_size;
};
static_assert(sizeof(KTX_HEADER) == 64, "KTX header is 64 bytes");

static const unsigned char ktx_identifier[12] = {0xAB, 0x4B, 0x54, 0x58, 0x20, 0x31,
                                                 0x31, 0xBB, 0x0D, 0x0A, 0x1A, 0x0A};
// Written by the file's producer as 0x04030201 in its own byte order.
static const uint32_t ktx_little_endian = 0x04030201;

// Only plain 2D textures are loaded; anything else is reported like a failed
// assertion and refused, so a bad asset cannot take the process down.
#define KTX_REQUIRE(cond)                                                                    \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      dglLogError("%s: Assertion `%s' failed.", __PRETTY_FUNCTION__, #cond);                 \
      return 0;                                                                              \
    }                                                                                        \
  } while (0)

static int is_compressed(const KTX_HEADER* header) {
  return header->type == 0 && header->format == 0;
}

static uint32_t level_extent(uint32_t extent, uint32_t level) {
  if (level >= 32) return 1;
  uint32_t v = extent >> level;
  return v ? v : 1;
}

// Levels in a full chain down to 1x1: a file may hold no more than that.
static uint32_t chain_length(uint32_t width, uint32_t height) {
  uint32_t m = width > height ? width : height;
  uint32_t n = 1;
  while (m > 1) {
    m >>= 1;
    n++;
  }
  return n;
}

// Bytes of one pixel as GL reads it, or 0 for a combination we cannot size
// (handing that to GL could make it read past the level).
static uint32_t pixel_size(uint32_t format, uint32_t type) {
  switch (type) {
    case 0x8033:  // GL_UNSIGNED_SHORT_4_4_4_4
    case 0x8034:  // GL_UNSIGNED_SHORT_5_5_5_1
    case 0x8363:  // GL_UNSIGNED_SHORT_5_6_5
      return 2;
    case 0x84FA:  // GL_UNSIGNED_INT_24_8_OES
    case 0x8368:  // GL_UNSIGNED_INT_2_10_10_10_REV_EXT
      return 4;
  }
  uint32_t component = 0;
  switch (type) {
    case 0x1400:  // GL_BYTE
    case 0x1401:  // GL_UNSIGNED_BYTE
      component = 1;
      break;
    case 0x1402:  // GL_SHORT
    case 0x1403:  // GL_UNSIGNED_SHORT
    case 0x140B:  // GL_HALF_FLOAT
    case 0x8D61:  // GL_HALF_FLOAT_OES
      component = 2;
      break;
    case 0x1404:  // GL_INT
    case 0x1405:  // GL_UNSIGNED_INT
    case 0x1406:  // GL_FLOAT
      component = 4;
      break;
    default:
      return 0;
  }
  switch (format) {
    case 0x1902:  // GL_DEPTH_COMPONENT
    case 0x1903:  // GL_RED_EXT
    case 0x1906:  // GL_ALPHA
    case 0x1909:  // GL_LUMINANCE
      return component;
    case 0x190A:  // GL_LUMINANCE_ALPHA
    case 0x8227:  // GL_RG_EXT
      return 2 * component;
    case 0x1907:  // GL_RGB
    case 0x8C40:  // GL_SRGB_EXT
      return 3 * component;
    case 0x1908:  // GL_RGBA
    case 0x80E1:  // GL_BGRA_EXT
    case 0x8C42:  // GL_SRGB_ALPHA_EXT
      return 4 * component;
  }
  return 0;
}

// Bytes of one 4x4 block of the compressed formats whose layout is known, else 0. The
// driver's own size arithmetic wraps for huge images, so their size is checked here.
static uint32_t block_size(uint32_t internal_format) {
  switch (internal_format) {
    case 0x8D64:  // GL_ETC1_RGB8_OES
    case 0x83F0:  // GL_COMPRESSED_RGB_S3TC_DXT1_EXT
    case 0x83F1:  // GL_COMPRESSED_RGBA_S3TC_DXT1_EXT
    case 0x9270:  // GL_COMPRESSED_R11_EAC
    case 0x9271:  // GL_COMPRESSED_SIGNED_R11_EAC
    case 0x9274:  // GL_COMPRESSED_RGB8_ETC2
    case 0x9275:  // GL_COMPRESSED_SRGB8_ETC2
    case 0x9276:  // GL_COMPRESSED_RGB8_PUNCHTHROUGH_ALPHA1_ETC2
    case 0x9277:  // GL_COMPRESSED_SRGB8_PUNCHTHROUGH_ALPHA1_ETC2
      return 8;
    case 0x83F2:  // GL_COMPRESSED_RGBA_S3TC_DXT3_EXT
    case 0x83F3:  // GL_COMPRESSED_RGBA_S3TC_DXT5_EXT
    case 0x9272:  // GL_COMPRESSED_RG11_EAC
    case 0x9273:  // GL_COMPRESSED_SIGNED_RG11_EAC
    case 0x9278:  // GL_COMPRESSED_RGBA8_ETC2_EAC
    case 0x9279:  // GL_COMPRESSED_SRGB8_ALPHA8_ETC2_EAC
      return 16;
  }
  return 0;
}

// Each image is followed by filler up to the next 4-byte boundary.
static size_t align4(size_t position) { return (position + 3) & ~(size_t)3; }

static int header_identified(const KTX_HEADER* header) {
  if (memcmp(header->identifier, ktx_identifier, sizeof(ktx_identifier)) != 0) {
    dglLogError("Not a KTX 1.1 file: wrong identifier.");
    return 0;
  }
  if (header->endianness != ktx_little_endian) {
    dglLogError("KTX file is not little-endian (endianness 0x%08x).", header->endianness);
    return 0;
  }
  return 1;
}

// Walks the levels of a plain 2D texture before anything is uploaded, so that a
// file GL could not read safely is refused without leaving a texture behind.
// `size` is SIZE_MAX for an image that is trusted to be whole.
static int levels_readable(const KTX_HEADER* header, const unsigned char* data, size_t size) {
  size_t position = sizeof(KTX_HEADER);
  if (header->key_value_data_size > size - position) {
    dglLogError("KTX key/value data of %u bytes runs past the end of the file (%zu bytes).",
                header->key_value_data_size, size);
    return 0;
  }
  position += header->key_value_data_size;
  // Beyond the driver's limit its size arithmetic may wrap (and take the process down).
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_size);
  if (header->width == 0 || header->height == 0 || header->width > (uint32_t)max_size ||
      header->height > (uint32_t)max_size) {
    dglLogError("KTX image of %ux%u pixels is outside 1 to %d pixels a side.", header->width,
                header->height, max_size);
    return 0;
  }
  uint32_t block = is_compressed(header) ? block_size(header->internal_format) : 0;
  uint32_t levels = header->num_mipmaps ? header->num_mipmaps : 1;
  uint32_t most = chain_length(header->width, header->height);
  if (levels > most) {
    dglLogError("KTX file claims %u mipmap levels; a %ux%u image has at most %u.", levels,
                header->width, header->height, most);
    return 0;
  }
  uint32_t bytes_per_pixel = 0;
  if (!is_compressed(header)) {
    bytes_per_pixel = pixel_size(header->format, header->type);
    if (bytes_per_pixel == 0) {
      dglLogError("KTX pixel format 0x%04x with type 0x%04x is not supported.", header->format,
                  header->type);
      return 0;
    }
  }
  for (uint32_t level = 0; level < levels; level++) {
    uint32_t image_size = 0;
    if (position > size || size - position < sizeof(image_size)) {
      dglLogError("KTX level %u starts past the end of the file (%zu bytes).", level, size);
      return 0;
    }
    memcpy(&image_size, data + position, sizeof(image_size));
    position += sizeof(image_size);
    if (image_size > size - position) {
      dglLogError("KTX level %u of %u bytes runs past the end of the file (%zu bytes).", level,
                  image_size, size);
      return 0;
    }
    uint32_t width = level_extent(header->width, level);
    uint32_t height = level_extent(header->height, level);
    uint64_t blocks = (uint64_t)((width + 3) / 4) * ((height + 3) / 4);
    if (block && image_size != blocks * block) {
      dglLogError("KTX level %u holds %u bytes; its %ux%u pixels take %llu.", level, image_size,
                  width, height, (unsigned long long)(blocks * block));
      return 0;
    }
    if (bytes_per_pixel) {
      // GL reads every row padded to the default unpack alignment of 4.
      uint64_t row = ((uint64_t)width * bytes_per_pixel + 3) & ~(uint64_t)3;
      if (row > image_size || height > image_size / row) {
        dglLogError("KTX level %u holds %u bytes; its %ux%u pixels need %llu.", level,
                    image_size, width, height, (unsigned long long)(row * height));
        return 0;
      }
    }
    position = align4(position + image_size);
  }
  return 1;
}

static GLuint upload(const KTX_HEADER* header, const unsigned char* data) {
  // An error left over from earlier calls must not be blamed on this texture.
  glGetError();
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  size_t position = sizeof(KTX_HEADER) + header->key_value_data_size;
  uint32_t levels = header->num_mipmaps ? header->num_mipmaps : 1;
  // A plain 2D texture: one array element, one face, one slice per level.
  for (uint32_t level = 0; level < levels; level++) {
    uint32_t image_size = 0;
    memcpy(&image_size, data + position, sizeof(image_size));
    position += sizeof(image_size);
    GLsizei width = (GLsizei)level_extent(header->width, level);
    GLsizei height = (GLsizei)level_extent(header->height, level);
    if (is_compressed(header)) {
      glCompressedTexImage2D(GL_TEXTURE_2D, (GLint)level, header->internal_format, width, height,
                             0, (GLsizei)image_size, data + position);
    } else {
      glTexImage2D(GL_TEXTURE_2D, (GLint)level, (GLint)header->base_internal_format, width,
                   height, 0, header->format, header->type, data + position);
    }
    // The driver's verdict on the level: no log of our own, the name stays bound.
    if (glGetError() != GL_NO_ERROR) return 0;
    position = align4(position + image_size);
  }
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  return texture;
}

GLuint dglLoadKTXTextureFromMemory(const void* data) {
  if (!data) {
    dglLogError("No KTX image to load.");
    return 0;
  }
  const unsigned char* bytes = (const unsigned char*)data;
  // A copy, so that a buffer of any alignment reads cleanly.
  KTX_HEADER header_copy;
  memcpy(&header_copy, bytes, sizeof(header_copy));
  const KTX_HEADER* header = &header_copy;
  if (!header_identified(header)) return 0;
  KTX_REQUIRE(header->depth <= 1);
  KTX_REQUIRE(header->array_size <= 1);
  KTX_REQUIRE(header->num_faces == 1);
  if (!levels_readable(header, bytes, SIZE_MAX)) return 0;
  return upload(header, bytes);
}

GLuint dglLoadKTXTextureFromMemorySized(const void* data, size_t size) {
  if (!data || size < sizeof(KTX_HEADER)) {
    dglLogError("KTX image of %zu bytes is shorter than its %zu-byte header.", data ? size : 0,
                sizeof(KTX_HEADER));
    return 0;
  }
  const unsigned char* bytes = (const unsigned char*)data;
  KTX_HEADER header;
  memcpy(&header, bytes, sizeof(header));
  if (!header_identified(&header)) return 0;
  // A texture that is not plain 2D is left for the loader's own report; its
  // levels are laid out differently and are never read.
  int plain_2d = header.depth <= 1 && header.array_size <= 1 && header.num_faces == 1;
  if (plain_2d && !levels_readable(&header, bytes, size)) return 0;
  return dglLoadKTXTextureFromMemory(data);
}

GLuint dglLoadKTXTextureFromFile(const char* name) {
  size_t size = 0;
  // The lookup has already reported a missing or unreadable file.
  char* data = dglLoadFileToMemorySized(name, "rb", &size);
  if (!data) return 0;
  GLuint texture = dglLoadKTXTextureFromMemorySized(data, size);
  free(data);
  return texture;
}
