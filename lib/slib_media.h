/* Media indexing and the thumbnail and video-preview queues: new files in
 * the media shares are handed to the indexing program, and queued (one path
 * a line, each path once) for the conversion daemons, which are then woken
 * with SIGUSR1. */
#ifndef SLIB_MEDIA_H
#define SLIB_MEDIA_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_MEDIA_INDEXER "/usr/qavo/bin/qavoindex"
#define QAVO_THUMB_QUEUE "/var/spool/thumb_create.queue"
#define QAVO_THUMB_PIDFILE "/var/run/qavomkthumbd.pid"
#define QAVO_FLV_QUEUE "/var/spool/flv_create.queue"
#define QAVO_FLV_PIDFILE "/var/run/qavomkflvd.pid"
/* Mode of a queue file that its writer creates: the daemons' group may feed
 * it, others not. */
#define QAVO_QUEUE_MODE 0664
/* The longest path a queue line holds. */
#define QAVO_QUEUE_PATH_MAX 4095

/* File kinds of BlSLIBIsMediaFileType. */
#define SLIB_MEDIA_IMAGE 1
#define SLIB_MEDIA_VIDEO 2

/* Modes of SLIBMediaIndexPath: add ("-a"), delete ("-D"), add a folder ("-A"). */
#define SLIB_MEDIA_INDEX_ADD 1
#define SLIB_MEDIA_INDEX_DELETE 2
#define SLIB_MEDIA_INDEX_ADD_DIR 3

/* Flags of SLIBQueueMediaConversion. */
#define SLIB_MEDIA_THUMB 0x1
#define SLIB_MEDIA_PREVIEW 0x2

/* No operation here sets an error code of its own: failures are logged,
 * and the void ones report nothing. */

/* Reads the model's media capabilities that are still unread. */
void SLIBLoadMediaCapabilities(void);
/* 1 when the path's extension is of the kind (1 images, 2 videos), else 0
 * (also for NULL). */
int BlSLIBIsMediaFileType(const char *path, int kind);
/* Runs the indexing program on a path of a media share of a volume; other
 * paths are ignored. */
void SLIBMediaIndexPath(const char *path, int mode);
/* Appends path to the queue file unless it is queued already (letter case
 * aside); 0 queued or already queued, -1 (also for a path holding a line
 * break, or a queue that cannot be opened, locked, read or written). */
int QAVOWriteThumbQueue(const char *path, const char *queue);
/* Queues a file or folder for thumbnails and video previews and wakes the
 * daemon that got it. */
void SLIBQueueMediaConversion(const char *path, int flags);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
