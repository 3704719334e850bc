/* A CA session's table of entitled receiver public keys, and the key-file
 * line format it is kept in.
 *
 * Key file: one line per key, in table order, "\"<pem>\"; <name>; <key id>\n"
 * (the PEM spans several lines itself). Only the PEM is read back: names
 * and key ids are derived again or left empty.
 *
 * A table holds at most CA_KEY_TABLE_MAX keys, each once (by key id). Loop
 * thread only. */
#ifndef MCF_CA_KEY_TABLE_H
#define MCF_CA_KEY_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include "mcf_list.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CA_KEY_TABLE_MAX = 3000,
    CA_KEY_NAME_SIZE = 64,   /* at most 63 characters */
    CA_KEY_PEM_SIZE = 1024,  /* at most 1023 characters */
    CA_KEY_ID_STR_SIZE = 24
};

typedef struct ca_key_entry {
    unsigned int id;                      /* unique within its table; names the key row */
    char key_name[CA_KEY_NAME_SIZE];      /* empty when there is none */
    uint8_t key_id[8];                    /* entitlement key id of the public key */
    char key_id_str[CA_KEY_ID_STR_SIZE];  /* "XXXX XXXX XXXX XXXX" */
    char key_pem[CA_KEY_PEM_SIZE];
    int ca_id;                            /* the session holding it, -1 for none */
} ca_key_entry;

typedef struct ca_key_table {
    mcf_list *entries; /* of ca_key_entry, in insertion order */
    unsigned int length;
    unsigned int candidate_id; /* where the search for the next free id starts */
} ca_key_table;

/* An empty table, or null when memory is short. */
ca_key_table *ca_key_table_ctor(void);
void ca_key_table_dtor(ca_key_table *t);

/* Appends a key: the entry, or null when there is no table or PEM, the
 * table is full, the PEM has CA_KEY_PEM_SIZE characters or more, holds a
 * double quote or a private key, no key id can be derived from it ("Failed to get keyid
 * from pem"), or the table already holds that key. */
ca_key_entry *ca_key_table_push(ca_key_table *t, const char *name, const char *pem);
/* Removes the entry with that id: 0, or -1 when there is none. */
int ca_key_table_delete(ca_key_table *t, unsigned int id);
/* Parses key-file lines of buf[0..len) (up to a NUL) into the table and
 * answers where the unparsed rest begins: the end of the scanned bytes when
 * the scan ended between lines, else the opening quote of the incomplete
 * line. Stops once the table is full. */
const char *ca_key_table_load_part(ca_key_table *t, const char *buf, size_t len);
/* Writes every entry as one line to fd: 0, or -1 when a write fails. */
int ca_key_table_write(const ca_key_table *t, int fd);
ca_key_entry *ca_key_table_get_entry_by_id(const ca_key_table *t, unsigned int id);
ca_key_entry *ca_key_table_get_entry_by_key_id(const ca_key_table *t, const uint8_t key_id[8]);
/* The entry at that position in table order; null for no table or past the end. */
const ca_key_entry *ca_key_table_get_entry(const ca_key_table *t, int index);
int ca_key_table_get_length(const ca_key_table *t);

unsigned int ca_key_entry_get_id(const ca_key_entry *e);
const char *ca_key_entry_get_key_pem(const ca_key_entry *e);
const char *ca_key_entry_get_key_name(const ca_key_entry *e);
const char *ca_key_entry_get_key_id_str(const ca_key_entry *e);
int ca_key_entry_get_ca_id(const ca_key_entry *e); /* -1 for no entry */
void ca_key_entry_set_ca_id(ca_key_entry *e, int ca_id);
/* At most 63 characters; quotes and control characters become "_". -1 for no text. */
int ca_key_entry_set_key_name(ca_key_entry *e, const char *name);
int ca_key_entry_cmp_id(const ca_key_entry *a, const ca_key_entry *b);

#ifdef __cplusplus
}

namespace mcf {
// What one parse saw: complete lines, keys they added, and whether the
// table became (or was) full.
struct ca_key_parse_counts {
    unsigned records = 0;
    unsigned pushed = 0;
    bool full = false;
};
// ca_key_table_push with the key id already derived from the same PEM
// (null: derive it).
ca_key_entry *ca_key_table_push_known(ca_key_table *t, const char *name, const char *pem, const uint8_t *known_id);
// ca_key_table_load_part, counting into `counts` (may be null).
const char *ca_key_table_parse(ca_key_table *t, const char *buf, size_t len, ca_key_parse_counts *counts);
} // namespace mcf
#endif

#endif
