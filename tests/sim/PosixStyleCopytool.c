/* A copytool written as Lustre's POSIX copytool is: C against Lustre's
 * header, messages through llapi_error (and into the event FIFO through
 * llapi_hsm_log_error), paths from llapi_fid2path_at, sizes from
 * llapi_parse_size, FIDs from llapi_fid_parse, and a SIGINT/SIGTERM handler
 * that unregisters and leaves with _exit(1) while the main thread waits in
 * a receive. Archive copies live in ARCHIVE/<FID>.
 *
 * With -x it copies as a command-driven copytool does: each archive or
 * restore is a `cp` run on the action's descriptor, /proc/self/fd/N.
 *
 *   PosixStyleCopytool [-c CHUNK] [-f FIFO] [-x] MOUNT ARCHIVE_DIR ARCHIVE_ID
 *   PosixStyleCopytool --import FID DST MOUNT ARCHIVE_DIR ARCHIVE_ID
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <linux/lustre/lustre_fid.h>
#include <lustre/lustreapi.h>

static struct hsm_copytool_private* ct;
static const char* fifo;
static unsigned long long chunk = 1 << 20;
static int mnt_fd = -1;
static int by_command;

#define CT_TRACE(fmt, ...) llapi_error(LLAPI_MSG_INFO | LLAPI_MSG_NO_ERRNO, 0, "ct: " fmt, ##__VA_ARGS__)
#define CT_ERROR(rc, fmt, ...) llapi_error(LLAPI_MSG_ERROR, rc, "ct: " fmt, ##__VA_ARGS__)

static void handler(int sig)
{
    psignal(sig, "exiting");
    llapi_hsm_copytool_unregister(&ct);
    if (fifo) llapi_hsm_unregister_event_fifo(fifo);
    _exit(1);
}

static void archive_path(const struct lu_fid* fid, const char* dir, char* out, size_t len)
{
    snprintf(out, len, "%s/" DFID_NOBRACE, dir, PFID(fid));
}

/* Copies in chunks, reporting progress as a copytool does. */
static int copy_data(struct hsm_copyaction_private* hcp, int src, int dst, unsigned long long length)
{
    char* buf = malloc(chunk);
    struct hsm_extent he = {0, 0};
    ssize_t n;
    int rc = 0;

    if (!buf) return -ENOMEM;
    while ((n = read(src, buf, chunk)) > 0) {
        if (write(dst, buf, (size_t)n) != n) {
            rc = -errno;
            break;
        }
        he.length = (unsigned long long)n;
        llapi_hsm_action_progress(hcp, &he, length, 0);
        he.offset += (unsigned long long)n;
    }
    if (n < 0) rc = -errno;
    free(buf);
    return rc;
}

static int process_item(const struct hsm_action_item* hai, const char* dir)
{
    struct hsm_copyaction_private* hcp = NULL;
    struct hsm_extent he = {0, 0};
    char path[PATH_MAX], copy[PATH_MAX + 64];
    long long recno = -1;
    int linkno = 0, rc, fd, other = -1;
    struct stat st;

    rc = llapi_fid2path_at(mnt_fd, &hai->hai_fid, path, sizeof(path), &recno, &linkno);
    CT_TRACE("%s " DFID " '%s' (%d)", hsm_copytool_action2name(hai->hai_action), PFID(&hai->hai_fid),
             rc == 0 ? path : "", rc);
    archive_path(&hai->hai_fid, dir, copy, sizeof(copy));
    if (hai->hai_action == HSMA_CANCEL) return 0;
    rc = llapi_hsm_action_begin(&hcp, ct, hai, -1, 0, false);
    if (rc < 0) {
        CT_ERROR(rc, "cannot begin " DFID, PFID(&hai->hai_fid));
        return rc;
    }
    switch (hai->hai_action) {
    case HSMA_ARCHIVE:
    case HSMA_RESTORE:
        fd = llapi_hsm_action_get_fd(hcp);
        if (hai->hai_action == HSMA_ARCHIVE)
            other = open(copy, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        else
            other = open(copy, O_RDONLY);
        if (fd < 0 || other < 0 || fstat(hai->hai_action == HSMA_ARCHIVE ? fd : other, &st) != 0) {
            rc = fd < 0 ? fd : -errno;
        } else if (by_command) {
            char cmd[2 * PATH_MAX + 128];
            he.length = (unsigned long long)st.st_size;
            if (hai->hai_action == HSMA_ARCHIVE)
                snprintf(cmd, sizeof(cmd), "cp /proc/self/fd/%d '%s'", fd, copy);
            else
                snprintf(cmd, sizeof(cmd), "cp '%s' /proc/self/fd/%d", copy, fd);
            rc = system(cmd) == 0 ? 0 : -EIO;
            if (rc == 0) llapi_hsm_action_progress(hcp, &he, he.length, 0);
        } else {
            he.length = (unsigned long long)st.st_size;
            rc = hai->hai_action == HSMA_ARCHIVE ? copy_data(hcp, fd, other, he.length)
                                                 : copy_data(hcp, other, fd, he.length);
        }
        if (fd >= 0) close(fd);
        if (other >= 0) close(other);
        break;
    case HSMA_REMOVE:
        rc = unlink(copy) == 0 ? 0 : -errno;
        break;
    default:
        rc = -EINVAL;
        fallthrough;
    case HSMA_NONE:
        break;
    }
    if (rc < 0) CT_ERROR(rc, "%s of '%s' failed", hsm_copytool_action2name(hai->hai_action), copy);
    return llapi_hsm_action_end(&hcp, &he, 0, rc < 0 ? -rc : 0);
}

static int import(const char* fidtext, const char* dst, const char* dir, int archive)
{
    struct lu_fid fid, newfid;
    char old[PATH_MAX + 64], renamed[PATH_MAX + 64];
    char* end;
    struct stat st;
    int rc = llapi_fid_parse(fidtext, &fid, &end);

    if (rc < 0 || *end != '\0') {
        CT_ERROR(rc ? rc : -EINVAL, "bad FID '%s'", fidtext);
        return 22;
    }
    archive_path(&fid, dir, old, sizeof(old));
    if (stat(old, &st) != 0) {
        CT_ERROR(-errno, "cannot stat '%s'", old);
        return 2;
    }
    rc = llapi_hsm_import(dst, archive, &st, 0, -1, 0, 0, NULL, &newfid);
    if (rc < 0) return -rc;
    /* The copy now belongs to the imported file's FID. */
    archive_path(&newfid, dir, renamed, sizeof(renamed));
    if (rename(old, renamed) != 0) return errno;
    printf(DFID "\n", PFID(&newfid));
    return 0;
}

int main(int argc, char** argv)
{
    struct sigaction sa;
    int archive, rc, i = 1;

    llapi_msg_set_level(LLAPI_MSG_INFO);
    if (argc == 7 && strcmp(argv[1], "--import") == 0) {
        fifo = NULL;
        return import(argv[2], argv[3], argv[5], atoi(argv[6]));
    }
    for (; i + 1 < argc && argv[i][0] == '-'; i++) {
        unsigned long long units = 1;
        if (strcmp(argv[i], "-x") == 0)
            by_command = 1;
        else if (strcmp(argv[i], "-f") == 0)
            fifo = argv[++i];
        else if (strcmp(argv[i], "-c") == 0 && llapi_parse_size(argv[++i], &chunk, &units, 0) < 0)
            return 22;
    }
    if (argc - i != 3 || chunk == 0) return 22;
    archive = atoi(argv[i + 2]);
    if (fifo) {
        if ((rc = llapi_hsm_register_event_fifo(fifo)) < 0) return -rc;
        llapi_error_callback_set(llapi_hsm_log_error);
    }
    mnt_fd = open(argv[i], O_RDONLY | O_DIRECTORY);
    if (mnt_fd < 0) return errno;
    rc = llapi_hsm_copytool_register(&ct, argv[i], 1, &archive, 0);
    if (rc < 0) return -rc;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    /* A line on stdout tells a waiting test that requests may come. */
    printf("registered\n");
    fflush(stdout);
    for (;;) {
        struct hsm_action_list* hal;
        struct hsm_action_item* hai;
        int msgsize;
        unsigned n;

        rc = llapi_hsm_copytool_recv(ct, &hal, &msgsize);
        if (rc == -ESHUTDOWN) break;
        if (rc < 0) {
            CT_ERROR(rc, "cannot receive action list");
            continue;
        }
        for (n = 0, hai = hai_first(hal); n < hal->hal_count; n++, hai = hai_next(hai))
            process_item(hai, argv[i + 1]);
    }
    llapi_hsm_copytool_unregister(&ct);
    return 0;
}
