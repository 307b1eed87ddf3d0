// Ensure: keeps an area in line with an image at boot. When the record of the
// last proven update matches the image and the SYSCON still answers the
// version text and checksum recorded right after that proof, nothing more is
// asked: a few exchanges. Otherwise the record goes, the area is updated and
// proven, and a new record is written.
#include "rom/rom.h"

#include <cerrno>
#include <cstring>

namespace {

// The SYSCON's version text and checksum of the area into `p`. 0 or -1.
int ask_state(int *port, CmdReply *reply, const TargetArea &area, Proof *p) {
    reply->text = p->version;
    const int rc = exec_cmd(port, area.version_cmd, reply);
    reply->text = nullptr;
    if (rc != 0 || exec_cmd(port, area.checksum_cmd, reply) != 0)
        return -1;
    p->checksum = static_cast<uint16_t>(reply->payload[0] << 8 | reply->payload[1]);
    return 0;
}

// Why the record cannot stand for this image and this SYSCON, or nullptr.
const char *why_not_trusted(int *port, CmdReply *reply, const TargetArea &area, int read,
                            const Proof &record, const Proof &want) {
    if (read == PROOF_NONE)
        return "no record of a proven update of this area";
    if (read == PROOF_BAD)
        return "the record of the last proof cannot be read";
    if (strcmp(record.sha256, want.sha256) != 0 || record.size != want.size ||
        record.skip_addr != want.skip_addr || record.skip_size != want.skip_size)
        return "the image or the skip area is not the one of the last proof";
    Proof now{};
    if (ask_state(port, reply, area, &now) != 0)
        return "no version text and checksum from the SYSCON";
    if (strcmp(now.version, record.version) != 0)
        return "the SYSCON's version text is not the recorded one";
    if (now.checksum != record.checksum)
        return "the SYSCON's checksum of the area is not the recorded one";
    return nullptr;
}

} // namespace

int ensure_rom(int *port, FILE *image, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr || careful_image_refused(image, *area, "Ensure"))
        return STATUS_FAILED;
    Proof want{}, record{};
    if (image_sha256(image, want.sha256, &want.size) != 0) {
        report_error("ERROR: Ensure: cannot read the image\n");
        return STATUS_FAILED;
    }
    want.skip_addr = g_skip_addr;
    want.skip_size = g_skip_size;
    const int read = proof_read(&record);

    block_operation_begin(OP_ENSURE, *area);
    int status = STATUS_FAILED;
    if (careful_begin(port, &reply, *area, "nothing was erased") == 0) {
        const char *why = why_not_trusted(port, &reply, *area, read, record, want);
        if (why == nullptr) {
            event_outcome(RESULT_UNCHANGED);
            printf("Ensure OK: unchanged since the update proven at %s (version \"%s\", "
                   "checksum 0x%04X)\n",
                   record.proven_at, record.version, record.checksum);
            status = 0;
        } else {
            printf("Ensure: %s: updating\n", why);
            fflush(stdout);
            status =
                proof_forget() == 0 ? update_proven(port, &reply, image, *area) : STATUS_FAILED;
            if (status == 0 && ask_state(port, &reply, *area, &want) != 0) {
                report_error("ERROR: Ensure: the update is proven, but the SYSCON gave no version "
                             "text and checksum to record\n");
                status = STATUS_FAILED;
            } else if (status == 0 && proof_write(&want) != 0) {
                report_error("ERROR: Ensure: the update is proven, but its record \"%s\" cannot be "
                             "written: %s\n",
                             proof_path(), strerror(errno));
                status = STATUS_FAILED;
            } else if (status == 0) {
                puts("Ensure OK: updated and proven");
            }
        }
    }
    block_operation_end();
    return status;
}
