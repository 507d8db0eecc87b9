/* The core of compiled layouts as a C library: a plan compiled from field descriptions that a
 * host has read and judged, and its walks, which fill native slots and one failure record. A
 * host that reaches C through a foreign-function interface rather than an extension module (cffi
 * on PyPy) drives layouts through these functions. No interpreter here.
 *
 * The declarations between the FFI markers are also handed to the FFI as they stand, so they
 * are plain C declarations without preprocessor lines. */
#ifndef FIELDPACK_CORE_H
#define FIELDPACK_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* FFI declarations begin */

/* A compiled layout. */
typedef struct fp_plan fp_plan;

/* A field as a recipe describes it, read and judged by the host. */
typedef struct fp_field_spec {
  const char* name; /* UTF-8 */
  size_t name_size;
  const char* encoding; /* as the recipe spells it, for messages */
  size_t encoding_size;
  int32_t encoding_row; /* what fp_encoding_row gives for the lower-cased name */
  uint32_t bits;
  int32_t little;
  int32_t reverse_bits;
  int32_t has_offset;
  uint32_t offset_bits;
} fp_field_spec;

/* What a compiled field is to the host: the kind its values decode to and pack from (0 unsigned
 * integer, 1 signed integer, 2 real, 3 text, 4 refused by packing), its column's element type
 * (0 to 3: 8 to 64-bit unsigned, 4 to 7: signed, 8 to 10: binary16 (as its bits), float32,
 * float64, 11 text), and where it lies. */
typedef struct fp_field_info {
  int32_t decoded;
  int32_t packed;
  int32_t column;
  uint32_t bits;
  uint32_t byte_count;
  uint64_t start_bit;
} fp_field_info;

/* A walk's failure: the field (SIZE_MAX for none) and where it was placed, the kind of error (0
 * ValueError, 1 KeyError, 2 TypeError, 3 OverflowError, 4 NotImplementedError; -1 for memory
 * that ran out, with no field), its message and
 * the hint a note adds (UTF-8). The texts belong to the record until fp_failure_clear. */
typedef struct fp_failure {
  size_t index;
  uint64_t start_bit;
  int32_t kind;
  const char* message;
  size_t message_size;
  const char* hint;
  size_t hint_size;
} fp_failure;

/* Frees the texts of a failure record and empties it. */
void fp_failure_clear(fp_failure* failure);

/* The row of a lower-cased encoding name, or -1 for a name no walk knows. */
int32_t fp_encoding_row(const char* name, size_t size);

/* A plan of `count` fields, each field at exactly its bits when bit_exact is nonzero and in whole
 * bytes otherwise; NULL when memory runs out. */
fp_plan* fp_plan_new(const fp_field_spec* specs, size_t count, int32_t bit_exact);
void fp_plan_free(fp_plan* plan);

/* Each field's info, `count` of them. */
void fp_plan_fields(const fp_plan* plan, fp_field_info* out);

/* The packet length of the packet functions' sizing walk: 1, or 0 with its failure. */
int32_t fp_plan_size(const fp_plan* plan, uint64_t* packet_size, fp_failure* failure);

/* The bytes from byte floor(offset_bits / 8) that the windows need at offset_bits mod 8. */
uint64_t fp_plan_extent(const fp_plan* plan, uint32_t residue);

/* Whether every field lies within the largest bit position at `offset_bits`: 1, or 0 with the
 * first that does not. */
int32_t fp_positions_fit(const fp_plan* plan, uint32_t offset_bits, fp_failure* failure);

/* The room fp_unpack's text may need, in bytes. */
uint64_t fp_plan_text_room(const fp_plan* plan);

/* Unpacks the packet from `offset_bits`: one slot per field, in recipe order, the bits of an
 * unsigned or signed 64-bit integer or of a double; a text field's slot holds the offset of its
 * text, as UTF-8 in `text` (fp_plan_text_room bytes), times 2^32, plus its size. The number of
 * fields done: all of them, or fewer with the first failure. */
size_t fp_unpack(const fp_plan* plan, const uint8_t* packet, size_t packet_size,
                 uint32_t offset_bits, uint64_t* slots, char* text, fp_failure* failure);

/* Unpacks `count` packets of `stride` bytes each, back to back from `packets`, from bit 0 of
 * each: the slots of packet k from slots + k * field count on, its text in `text` from byte
 * k * fp_plan_text_room on (a text slot's offset counted from `text`). The number of packets
 * done whole; at the first that fails, its failure. */
size_t fp_unpack_many(const fp_plan* plan, const uint8_t* packets, size_t stride, size_t count,
                      uint64_t* slots, char* text, fp_failure* failure);

/* A strict pack in progress: what it keeps to read back. A pack that is not strict needs none
 * (NULL). */
typedef struct fp_packing fp_packing;
fp_packing* fp_packing_new(const fp_plan* plan, int32_t strict);
void fp_packing_free(fp_packing* packing);

/* Numeric field `index` of `count` packets of `stride` bytes from `packets` (each from bit 0)
 * decoded into `out`, `count` elements of its column's type. The number of packets decoded:
 * `count`, or fewer at the first packet whose value fails; 0 for a text field and for a field
 * that no packet of `stride` bytes holds. */
size_t fp_decode_column(const fp_plan* plan, size_t index, const uint8_t* packets, size_t stride,
                        size_t count, void* out);

/* Packs fields [first, last) into the image (`image_size` bytes standing for the packet from byte
 * offset_bits / 8): slots as fp_unpack gives them, text as UTF-8 (texts[i], text_sizes[i]). The
 * number of fields done: all of them, or fewer with the first failure. Fields whose encoding
 * packing refuses fail without looking at their slot. */
size_t fp_pack(const fp_plan* plan, fp_packing* packing, size_t first, size_t last,
               const uint64_t* slots, const char* const* texts, const size_t* text_sizes,
               uint8_t* image, uint64_t image_size, uint32_t offset_bits, fp_failure* failure);

/* Each field of an image that fp_pack wrote at offset_bits copied into `out` (the same bytes
 * from offset_bits / 8 on): its window's whole bytes, or in a bit-exact plan exactly its bits.
 * Nothing else in `out` changes. */
void fp_copy_fields(const fp_plan* plan, const uint8_t* image, uint64_t image_size,
                    uint32_t offset_bits, uint8_t* out);

/* The whole packet at once, not strictly, into `image` (its `image_size` bytes zeroed first): as
 * fp_pack of every field at offset 0. */
size_t fp_pack_packet(const fp_plan* plan, const uint64_t* slots, const char* const* texts,
                      const size_t* text_sizes, uint8_t* image, uint64_t image_size,
                      fp_failure* failure);

/* After every field is packed, strict packing's read-back: 1, or 0 with the first field that
 * does not read back what was packed. 1 when the packing is not strict. */
int32_t fp_pack_finish(const fp_plan* plan, fp_packing* packing, const uint8_t* image,
                       uint64_t image_size, uint32_t offset_bits, fp_failure* failure);

/* A stream of packets of several layouts back to back, each starting with the fields of a header
 * plan: the table its keys compile into and one walk over it. The walk reads each packet's
 * header, finds its layout by key and its length, counts sequences, and keeps each layout's
 * packets (offset and length) until they are cleared. */
typedef struct fp_stream fp_stream;

/* Header fields by their index in the header plan, each an unsigned or signed integer field of 1
 * to 64 bits; key values and checks as the 64-bit pattern of the decoded integer. */
typedef struct fp_stream_spec {
  const size_t* key_fields;
  size_t key_count;
  int32_t has_length; /* packets are the length field's value + length_offset bytes, */
  size_t length_field;
  int64_t length_offset;
  uint64_t size; /* or `size` bytes without a length field */
  int32_t has_sequence;
  size_t sequence_field;
  uint64_t sequence_modulus; /* 0 for 2^64 */
  const size_t* sync_fields; /* a packet whose field differs has lost sync */
  const uint64_t* sync_values;
  size_t sync_count;
  const size_t* whole_fields; /* a packet whose field differs is a segment */
  const uint64_t* whole_values;
  size_t whole_count;
  const uint64_t* layout_keys; /* key_count values per layout */
  const uint64_t* layout_needs; /* the bytes each layout's fields need */
  size_t layout_count;
  const uint64_t* idle_keys; /* key_count values per idle key */
  size_t idle_count;
} fp_stream_spec;

/* Per layout: packets long enough for it, shorter ones, packets missing by the sequence counts,
 * repeated counts, segments. */
typedef struct fp_stream_tally {
  uint64_t packets;
  uint64_t short_packets;
  uint64_t gaps;
  uint64_t repeats;
  uint64_t segmented;
} fp_stream_tally;

typedef struct fp_stream_totals {
  uint64_t idle;
  uint64_t unknown_keys; /* distinct */
  uint64_t unknown_packets;
  uint64_t truncated; /* bytes of the last packet, cut short */
  int32_t lost;       /* whether sync was lost, at byte lost_at */
  uint64_t lost_at;
} fp_stream_totals;

/* A stream over the header plan (which must outlive it), ready to walk; NULL when memory runs out
 * or the spec names a field that is no integer field of the header. */
fp_stream* fp_stream_new(const fp_plan* header, const fp_stream_spec* spec);
void fp_stream_free(fp_stream* stream);

/* Walks the packets of data[0, size), which starts at byte `base` of the stream; at_end nonzero
 * when no bytes follow. *consumed: the bytes of the whole packets walked; *wanted: the bytes the
 * packet after them needs, when it stopped for want of them (0 otherwise). 1, or 0 when memory
 * ran out. Once sync is lost, nothing more is walked. */
int32_t fp_stream_walk(fp_stream* stream, const uint8_t* data, uint64_t size, uint64_t base,
                       int32_t at_end, uint64_t* consumed, uint64_t* wanted);

/* The counts so far: one tally per layout, and the totals. */
void fp_stream_counts(const fp_stream* stream, fp_stream_tally* tallies, fp_stream_totals* totals);

/* The packets of a layout kept since they were last cleared, short ones included, in stream
 * order: their number, the first `room` of them written to offsets and lengths. */
size_t fp_stream_packets(const fp_stream* stream, size_t layout, uint64_t* offsets,
                         uint64_t* lengths, size_t room);
void fp_stream_clear_packets(fp_stream* stream);

/* Starts a new walk, counts and packets back to none: 1, or 0 when memory ran out (the walk
 * before it is kept). */
int32_t fp_stream_reset(fp_stream* stream);

/* FFI declarations end */

#ifdef __cplusplus
}
#endif

#endif
