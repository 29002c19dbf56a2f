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
#include <deque>
#include <string>
#include <vector>

#include <epan/epan_dissect.h>
#include <epan/column-info.h>
#include <wiretap/wtap.h>

/* Initialises the host with the plugin registered. Idempotent. */
void host_start(void);

/* The frames of one capture file, kept across passes as the host keeps
 * them: each frame's frame_data, with the per-frame data the dissectors
 * left in it, lives as long as this object. Opening one closes the file
 * before it and opens a new one through the host's own cleanup and init of
 * a file, so whatever dissectors keep in file scope starts empty; frames
 * are numbered from 1. One at a time. */
class host_file {
public:
    host_file();
    ~host_file();
    host_file(const host_file &) = delete;
    host_file &operator=(const host_file &) = delete;

    /* Appends a frame of `record`, an Exported PDU record. */
    void add(const std::vector<guint8> &record);
    size_t frames() const { return records_.size(); }

private:
    friend class host_dissection;
    std::vector<std::vector<guint8>> records_;
    std::deque<frame_data> frame_data_;  /* never moved: pinfo->fd points here */
};

/* The bytes of an Exported PDU record that asks the host to hand
 * `payload` to the dissector registered under `dissector_name`; with
 * `ipv4_source`, as a datagram from that address to 198.51.100.1. */
std::vector<guint8> exported_pdu_record(const char *dissector_name,
                                        const guint8 *payload, size_t length,
                                        const guint8 *ipv4_source = nullptr);

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
    /* Frame `index` (from 0) of `file`: its first dissection is the first
     * pass over it, any later one a later pass over a visited frame. */
    host_dissection(host_file &file, size_t index, const options &opts);
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
    frame_data own_fd_;
    frame_data *fd_ = &own_fd_;  /* or a frame of a host_file */
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
