/*
 * population.h - the initial TPC-C database, as CSV text.
 *
 * Every table of every warehouse (and ITEM, once for the database) is cut into
 * a fixed number of chunks: the warehouse and district rows are one chunk,
 * the district-bound tables one chunk per district, ITEM and STOCK ten
 * chunks of 10,000 items.  A chunk's text depends only on the load (seed,
 * C-Load, timestamp, NULL text), the table, the warehouse and the chunk's
 * number, never on what else is generated, in which order, or by how many
 * threads.  Rows come in primary-key order, columns in the standard's order,
 * one line each, comma-separated; no value needs quoting.
 *
 * Needs C99; no pointer argument may be NULL unless its comment says so.
 * Misuse (an unknown table, a chunk or warehouse out of range, a buffer
 * smaller than TpccChunkBound, a malformed load) writes one line naming the
 * function and the value to standard error and calls abort().
 */
#ifndef TPCC_POPULATION_H
#define TPCC_POPULATION_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The tables, in the order tpcc-gen lists them. */
enum {
  TPCC_WAREHOUSE,
  TPCC_DISTRICT,
  TPCC_CUSTOMER,
  TPCC_HISTORY,
  TPCC_ORDERS,
  TPCC_NEW_ORDER,
  TPCC_ORDER_LINE,
  TPCC_ITEM,
  TPCC_STOCK,
  TPCC_TABLES
};

/* What a load is made from: the same values give the same rows, byte for byte. */
struct TpccLoad {
  uint64_t seed;
  uint32_t c_load;    /* the load's C for C_LAST (C_255), 0..255 */
  char timestamp[20]; /* "YYYY-MM-DD hh:mm:ss": C_SINCE, H_DATE, O_ENTRY_D, OL_DELIVERY_D */
  char null_text[16]; /* a NULL field's text, "" (an empty unquoted field) by default; */
                      /* no comma, quote, backslash or line break */
};

/* 1 if text is a "YYYY-MM-DD hh:mm:ss" with a month, day, hour, minute and second that can
 * exist, else 0.  Pure. */
int TpccIsTimestamp(const char *text);

/* The table's name ("warehouse" .. "stock") for 0..TPCC_TABLES - 1, else NULL.  Pure. */
const char *TpccTableName(int table);

/* The table named name, or -1 for a name that is none.  Pure. */
int TpccTableByName(const char *name);

/* Rows of the table per warehouse (ITEM: in all), ORDER-LINE's being known only once made:
 * there, -1.  Pure. */
int64_t TpccTableRows(int table);

/* Chunks of the table per warehouse (ITEM: in all).  Pure. */
int32_t TpccChunkCount(int table);

/* Bytes that hold any chunk of the table.  Pure. */
size_t TpccChunkBound(int table);

/* Writes chunk 0..TpccChunkCount(table) - 1 of the table for warehouse w_id (>= 1; ignored
 * for ITEM) into buf[cap], cap >= TpccChunkBound(table); returns the bytes written, and the
 * rows in *rows unless rows is NULL.  No NUL is added.  Thread-safe; allocates nothing. */
size_t TpccGenerateChunk(const struct TpccLoad *load, int table, int32_t w_id, int32_t chunk,
                         char *buf, size_t cap, int64_t *rows);

/* Called on the caller's thread after each warehouse is whole: done of total, and the bytes
 * written so far. */
typedef void TpccProgress(void *arg, int32_t done, int32_t total, uint64_t bytes);

/* What TpccWriteTables makes: warehouses first..last (1 <= first <= last), each table whose fd
 * is not -1 written to that descriptor (ITEM once, before the rest), on threads >= 1 worker
 * threads.  progress may be NULL. */
struct TpccJob {
  int32_t first, last;
  int fd[TPCC_TABLES];
  int threads;
  TpccProgress *progress;
  void *progress_arg;
};

/* Writes the job's tables, each in primary-key order, and the rows and bytes of each into
 * rows[] and bytes[].  0, or -1 with errno and *failed the table whose write failed (-1 when
 * memory or a thread could not be had); what was written before a failure stays written.
 * Memory: about twice the threads' count in chunks, at most a few MB each. */
int TpccWriteTables(const struct TpccLoad *load, const struct TpccJob *job,
                    int64_t rows[TPCC_TABLES], uint64_t bytes[TPCC_TABLES], int *failed);

#ifdef __cplusplus
}
#endif

#endif /* TPCC_POPULATION_H */
