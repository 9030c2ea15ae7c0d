/*
 * utils.h - small helpers shared by the libubox headers.
 *
 * Provides ARRAY_SIZE, the __packed/__aligned attributes and the byte-order
 * converters (cpu_to_be*, be*_to_cpu, cpu_to_le*, le*_to_cpu). Everything
 * here is a macro: there are no library symbols behind this header.
 */
#ifndef __LIBUBOX_UTILS_H
#define __LIBUBOX_UTILS_H

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/time.h>
#include <stdint.h>
#include <stdbool.h>
#include <unistd.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Only valid on true arrays: a pointer argument silently gives nonsense. */
#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif

#ifndef __aligned
#define __aligned(x) __attribute__((aligned(x)))
#endif

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define cpu_to_be64(x) __builtin_bswap64(x)
#define cpu_to_be32(x) __builtin_bswap32(x)
#define cpu_to_be16(x) __builtin_bswap16(x)
#define cpu_to_le64(x) ((uint64_t)(x))
#define cpu_to_le32(x) ((uint32_t)(x))
#define cpu_to_le16(x) ((uint16_t)(x))
#elif __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define cpu_to_be64(x) ((uint64_t)(x))
#define cpu_to_be32(x) ((uint32_t)(x))
#define cpu_to_be16(x) ((uint16_t)(x))
#define cpu_to_le64(x) __builtin_bswap64(x)
#define cpu_to_le32(x) __builtin_bswap32(x)
#define cpu_to_le16(x) __builtin_bswap16(x)
#else
#error "unsupported byte order"
#endif

/* Swapping is its own inverse, so the reverse direction is the same op. */
#define be64_to_cpu(x) cpu_to_be64(x)
#define be32_to_cpu(x) cpu_to_be32(x)
#define be16_to_cpu(x) cpu_to_be16(x)
#define le64_to_cpu(x) cpu_to_le64(x)
#define le32_to_cpu(x) cpu_to_le32(x)
#define le16_to_cpu(x) cpu_to_le16(x)

#ifdef __cplusplus
}
#endif

#endif
