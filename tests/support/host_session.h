/* host_session.h
 * The real host library, started once per process with the plugin
 * registered, and single-packet dissections on it. Shared by the tests,
 * the fuzzer and the benchmark.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_HOST_SESSION_H
#define MORVASTELLE_HOST_SESSION_H

#include <cstddef>
#include <string>
#include <vector>

#include <epan/epan_dissect.h>
#include <epan/column-info.h>
#include <wiretap/wtap.h>

/* Initialises the host with the plugin registered. Idempotent. */
void host_start(void);

/* The bytes of an Exported PDU record that asks the host to hand
 * `payload` to the dissector registered under `dissector_name`. */
std::vector<guint8> exported_pdu_record(const char *dissector_name,
                                        const guint8 *payload, size_t length);

/* One dissected packet; lives until destroyed, like a frame in a pass. */
class host_dissection {
public:
    struct options {
        bool tree = true;
        bool visible = true;
        bool taps = false;  /* also hand the queued tap records to the listeners */
        std::vector<std::string> primed_fields;
        /* Already resolved, as tshark resolves its -e fields once. */
        std::vector<int> primed_field_ids;
        /* tshark -T fields fills no columns unless asked for them. */
        bool columns = true;
    };

    /* Dissects `record`, an Exported PDU record, as one packet. */
    host_dissection(const std::vector<guint8> &record, const options &opts);
    host_dissection(const std::vector<guint8> &record) : host_dissection(record, options()) {}
    /* The same without a copy of its own (hosts from 4.6 take the bytes into
     * the record's buffer, as their file readers do): `record` must outlive
     * this object. */
    host_dissection(const guint8 *record, size_t length, const options &opts);
    ~host_dissection();
    host_dissection(const host_dissection &) = delete;
    host_dissection &operator=(const host_dissection &) = delete;

    epan_dissect_t *edt() { return &edt_; }
    proto_tree *tree() { return edt_.tree; }
    std::string column(int col_format);

private:
    void dissect(const guint8 *record, size_t length, const options &opts);

    std::vector<guint8> record_;
    wtap_rec rec_;
    frame_data fd_;
    epan_dissect_t edt_;
};

/* A field as the tree shows it: what the tests compare. */
struct shown_field {
    std::string abbrev;
    int start;
    int length;
    std::string value;  /* the value as a display filter would write it */
    std::string label;  /* the line the tree shows, empty when not visible */
    int depth;          /* 0 for the tree's top level */
};

/* Every field of the tree, depth-first, in the order the tree shows them. */
std::vector<shown_field> shown_fields(proto_tree *tree);

#endif /* MORVASTELLE_HOST_SESSION_H */
