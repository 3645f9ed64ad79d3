/* SPDX-License-Identifier: Apache-2.0 */
/* Internal to the SHS digest: the choice between its two compression paths, for the digest itself,
 * its tests and its benchmark. Both paths give identical digests for every input; the portable one
 * runs anywhere, the SHA-NI one only on x86 CPUs with the SHA extensions (with SSSE3 and SSE4.1).
 * A process starts on the SHA-NI path where the CPU has it, on the portable path elsewhere.
 */
#ifndef VEMRICK_SHS_INTERNAL_H
#define VEMRICK_SHS_INTERNAL_H

#include <cstddef>
#include <cstdint>

enum ShsEngine { SHS_ENGINE_PORTABLE = 0, SHS_ENGINE_SHA_NI = 1 };

/* Returns 1 when this build and CPU can run engine (the portable one always), 0 otherwise. */
int shsEngineAvailable(ShsEngine engine);

/* Makes every later compression in the process take engine, including those of digests already in
 * progress (which stay correct). Returns 1, or 0 with nothing changed when engine is not
 * available. Meant for tests and benchmarks. */
int shsSelectEngine(ShsEngine engine);

/* The engine that compressions take now. */
ShsEngine shsSelectedEngine();

#if defined(__x86_64__) || defined(__i386__)
/* The x86 part (shs_x86.cpp), called only by the digest itself. */

/* 1 when the CPU has the SHA extensions, SSSE3 and SSE4.1; 0 otherwise. */
int shsCpuHasShaNi();

/* Compresses blocks whole 64-byte blocks at data (message bytes, most significant byte of each
 * word first) into digest H0..H4. Only on a CPU for which shsCpuHasShaNi() is 1. */
void shsTransformShaNiBytes(uint32_t digest[5], const unsigned char *data, size_t blocks);

/* Compresses the block held as the sixteen words block[0..15] into digest H0..H4; block is only
 * read (the schedule is not written to block[16..79]). Only where shsCpuHasShaNi() is 1. */
void shsTransformShaNiWords(uint32_t digest[5], const uint32_t block[16]);
#endif

#endif
