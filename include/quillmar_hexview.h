/*
 * quillmar-hexview: a hex-viewing and hex-editing engine with a plain C ABI.
 *
 * The engine works on one open file at a time. It maps the file whole, renders
 * pages of it as JSON rows, searches it, stages overwrites, inserts and deletes
 * and saves them, compares it with another file and profiles its entropy.
 *
 * Conventions shared by every function:
 *   - Status results are 0 for success and -1 for failure. Functions that
 *     return a count, size or offset also use -1 for failure.
 *   - After a failure, hx_last_error() on the same thread returns the message.
 *     Success leaves the message alone; only hx_close() and every open with a
 *     path empty it (an in-place hx_save ends by opening the file again). The
 *     number after "win error" in a message is the system's code: errno on
 *     POSIX, GetLastError() on Windows.
 *   - Text results live in buffers the library owns, one per function and per
 *     thread. They stay valid until the same function is called again on the
 *     same thread (or the thread ends). Never free them. A failed text call
 *     returns the empty string, never NULL.
 *   - Offsets, sizes and lengths are signed 64-bit byte counts.
 *   - Threads: the library starts no threads. The open file and the search
 *     and compare tables are shared by the whole process; one internal lock
 *     orders the calls of all threads, so any call may be made from any
 *     thread, and a call waits only while another thread's short call runs.
 *     Error texts and result buffers are per thread. The long calls (hx_search,
 *     hx_compare, hx_save) let go of the lock while they scan or write, and
 *     other threads' calls run beside them as the section "Long calls" below
 *     says; a call that conflicts with the running long call is refused.
 *
 * Files that change under the engine:
 *   - The file is mapped, not copied. When another program shrinks it
 *     (truncation), a read of a page it no longer has would end the process
 *     with SIGBUS; on Windows, where a mapped file cannot be truncated, the
 *     same happens (EXCEPTION_IN_PAGE_ERROR) when a file on a network share
 *     or removable disk goes away. Every read of the file by the library is
 *     protected against this: pages, searches and their contexts, compares
 *     (the compare file too), the entropy profile, the summary and saves.
 *   - Such a call fails in its usual way (-1, or "" for a text) with
 *     "file shrank on disk since it was opened: <path>" and leaves no partial
 *     result: no hits, no compare runs, empty text. A compare file that shrinks
 *     during the compare fails it with
 *     "compare file shrank on disk during the compare: <path>".
 *   - From then on every call that reads the open file fails with the same
 *     message, rather than show old bytes beside missing ones. Calls that do
 *     not read it go on: the size as opened, staging, the staged list, the
 *     hits and runs already recorded. hx_close and any open work as usual; a
 *     new open shows the file as it is now. A save that meets the loss fails
 *     before it replaces its target, which stays as it was (no temporary file
 *     is left); only the rewrite in place of a target with several hard links
 *     or that is no regular file (see hx_save) can, as on any failure there,
 *     leave a target other than the open file partly written. A save whose
 *     content reads only what is left of the file writes it whole.
 *   - The library learns of the change only when a read meets a missing page:
 *     reads of the part that is still there go on succeeding, and the bytes
 *     of the last page past the new end read as zeros until then.
 *   - POSIX: the library installs a SIGBUS handler on its first open. It acts
 *     only on faults in the library's own mappings during its protected reads;
 *     every other SIGBUS goes to the handler installed before it (or the
 *     default action), exactly as if the library were absent. A host that
 *     installs its own SIGBUS handler after the first open must pass the
 *     signals it does not handle on to the handler it replaced; one that does
 *     not makes every shrink a crash again. Windows: a vectored exception
 *     handler, installed first in line on the first open, does the same.
 */
#ifndef QUILLMAR_HEXVIEW_H
#define QUILLMAR_HEXVIEW_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUILLMAR_HEXVIEW_BUILD)
#    define HX_API __declspec(dllexport)
#  else
#    define HX_API __declspec(dllimport)
#  endif
#else
#  define HX_API __attribute__((visibility("default")))
#endif

/* ---- Limits ---------------------------------------------------------------
 * Fixed sizes of the engine's tables, for hosts that show or check them. */
#define HX_MAX_PATTERN_BYTES 4096  /* bytes of a search pattern, wildcards included */
#define HX_MAX_STORED_HITS 10000   /* hits whose offsets a search keeps (the count goes on) */
#define HX_MAX_EDITS 1000          /* staged edits at once */
/* Bytes that staged writes and inserts hold at once (1 GiB); an addition
 * beside the limits above. */
#define HX_MAX_STAGED_BYTES 1073741824
#define HX_MAX_RUNS 10000          /* runs of differing bytes a compare keeps */
#define HX_RUN_BYTES 64            /* bytes at most in one compare run */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Errors -------------------------------------------------------------- */

/* The message of the last failure on the calling thread, or "" when none was
 * recorded since the thread began or since the last hx_close or open with a
 * path made on it. Never NULL; calling it changes nothing. */
HX_API const char *hx_last_error(void);

/* ---- File ---------------------------------------------------------------- */

/* Open an existing file read-only and map it. Whatever was open before is
 * dropped first (staged edits are lost). A NULL path fails with "NULL path"
 * and leaves the open file as it was. Any other failure leaves no file open:
 * "cannot open file: <path> (win error <code>)", "GetFileSizeEx failed: <path>",
 * "CreateFileMapping failed (win error <code>)",
 * "MapViewOfFile failed (win error <code>)", "out of memory".
 * Directories, FIFOs, sockets and devices are refused without blocking.
 * So are files whose reported size is not what they hold, never read nor
 * written: those of the kernel's own file systems (Linux: /proc, /sys,
 * debugfs, tracefs, configfs, cgroup, efivarfs, ...), and a file reported
 * empty that still gives a byte when read: "not a regular file with a known
 * size: <path> (a file of the system's own, as in /proc or /sys, whose
 * reported size is not what it holds)".
 * The path's symbolic links are followed once, here: saves go to the file
 * found now (see hx_save). A link in a sticky folder that others may write
 * (such as /tmp), at the path's end or on its way, is followed only when the
 * user or the folder's owner owns it, whatever the system's own setting
 * (EACCES otherwise; saves follow the same rule).
 * An open first looks for a journal of an interrupted save of the file (see
 * "Saves and their journals" below), beside it or in the user's state
 * folder. A read-only open never writes:
 *   - a save of the file is under way in another process (it holds the
 *     file's save lock): after waiting up to about 1.5 s for it to end, the
 *     open fails with "another process is saving <path> - open it again when
 *     that save has ended" (hx_open_rw too);
 *   - a journal that a read-write open would act on: the open fails with
 *     "<path> has the journal of an interrupted save: <journal> - a
 *     read-write open rolls it back" (or "... finishes it" for a rewrite);
 *   - any other journal is left alone, neither applied nor removed, and the
 *     open succeeds with a notice in hx_last_error() (hosts show it when not
 *     empty): "journal left alone: <journal> is not valid for this file
 *     (<reason>)", the reason one of "truncated", "not a journal",
 *     "bad checksum", "a range past the file's end", "written for another
 *     file", "the file's size differs", "larger than any journal of this
 *     file", "not a plain file", "owned by another user", "writable by other
 *     users", "the file changed after the interrupted save: it holds neither
 *     the old bytes nor the new ones", "its copy of the content is missing",
 *     "its copy of the content is not ours", "its copy of the content is not
 *     whole", "the file changed after the interrupted save: it is neither
 *     as it was nor a part of what that save wrote", "the file cannot be
 *     read"; or "journal left alone: <journal> cannot be read (win error
 *     <code>)" (a symbolic link under the journal's name is not followed).
 *     Several notices are joined by "; ".
 * A notice is the only success that leaves text in hx_last_error(). */
HX_API int hx_open(const char *path);

/* As hx_open, but read-write, creating the file (empty) when it is missing.
 * Only a file opened this way accepts staged edits. Holding the file's save
 * lock, it acts on a journal of an interrupted save, then succeeds with a
 * notice in hx_last_error():
 *   - a patch journal is rolled back (the old bytes go back where the save
 *     had written new ones, are flushed, and the journal is removed):
 *     "rolled back an interrupted save of <path> from <journal>: the file is
 *     as it was before that save" (with " (a journal of an older format: it
 *     could not be checked against the file's content)" added for a journal
 *     written by an older version);
 *   - a rewrite's journal is finished from its copy (the file gets the
 *     copy's content, flushed; the journal and then the copy are removed):
 *     "finished an interrupted save of <path> from its copy <copy>: the file
 *     holds the content that save wrote";
 *   - " (the journal could not be removed: win error <code>)" is added when
 *     it stays; acting on it again is harmless.
 * A roll-back or rewrite that fails fails the open, with "cannot roll back
 * the interrupted save of <path> from <journal> (win error <code>)" or
 * "cannot finish the interrupted save of <path> from <journal> (win error
 * <code>)", and leaves the journal for another try. Any other journal is
 * left alone as for hx_open. The open then removes the files that killed
 * saves of this file left (temporary files, copies no journal names,
 * half-written journals: names beginning "." and ending ".hxsave-",
 * ".hxcopy-" or ".hxjrnl-" and 8 hex digits), only those it owns and no
 * living save holds, never another file's. */
HX_API int hx_open_rw(const char *path);

/* Drop the open file, its staged edits and its cached content, and empty the
 * calling thread's error text. Harmless when nothing is open. The hits of the
 * last search and the runs of the last compare are kept. */
HX_API void hx_close(void);

/* Size of the content with the staged edits applied: the exact length while
 * the content that pages or a save built is current, otherwise the estimate
 * on-disk size plus inserted minus deleted lengths (never below 0; a delete
 * cut short at the end counts whole until then). Builds nothing. -1 when no
 * file is open (no message). */
HX_API int64_t hx_file_size(void);

/* ---- Pages --------------------------------------------------------------- */

/* A JSON list of rows of 16 bytes starting at `offset` (negative means 0; no
 * rounding). `rows` <= 0 gives 64 rows, more than 1000 gives 1000. Positions
 * past the end show 00 and ".". Each row is
 *   {"off":"0x%016llx","hex":"00 01 ... 07  08 ... 0f","ascii":"................"}
 * or, when `mode` is exactly "raw",
 *   {"off":"0x%016llx","bytes_hex":"000102...0f"}
 * The page shows the staged edits. "" with "no file open" when no file is
 * open, or with the message of a failed rebuild of the edited content (such
 * as "out of memory materializing logical file"), or with
 * "file shrank on disk since it was opened: <path>". */
HX_API const char *hx_page(int64_t offset, int32_t rows, const char *mode);

/* As hx_page, but each row is {"off":"0x%016llx","text":"..."} with only the
 * printable bytes (0x20..0x7E) of the row's content, JSON-escaped (a row past
 * the end has ""). Fails as hx_page does. */
HX_API const char *hx_ascii_only(int64_t offset, int32_t rows);

/* ---- Search ------------------------------------------------------------- */

/* Search the open file as stored on disk (staged edits are not seen) from
 * `start` (negative means 0; at or past the end finds nothing). `mode` is
 * "hex" (bytes like "de ad ?? ef", "??" matching any byte), "ascii" (the text
 * byte for byte, case-sensitive) or "utf16" (each character as a UTF-16LE
 * code unit). Patterns are 1 to 4096 bytes (2048 utf16 characters). Hits are
 * found left to right and never overlap; all are counted, the first 10000 are
 * kept. A pattern with a byte other than zero (not "??") cannot match inside
 * the holes of a sparse file, so those are skipped unread (the progress jumps
 * over them); a pattern of zeros and "??" reads every byte. 0 when the
 * search ran, whatever it found; -1 when no file is open
 * or an argument is bad (the previous hits are dropped once a file is open and
 * neither text is NULL). The hits stay until the next search, also across
 * hx_close and opens. Messages, in the order tested: "no file open",
 * "NULL mode/pattern", "invalid hex pattern: <pattern>", "hex pattern too long",
 * "empty or too-long ascii pattern", "empty or too-long utf16 pattern",
 * "unknown search mode: <mode> (use hex|ascii|utf16)", then
 * "file shrank on disk since it was opened: <path>" (no hits kept). */
HX_API int hx_search(const char *mode, const char *pattern, int64_t start);

/* Number of hits of the last search, also those beyond the 10000 kept;
 * 2147483647 when the count does not fit. -1 when no file is open. */
HX_API int32_t hx_search_count(void);

/* The next kept hit offset, walking from the first after each search; -1 once
 * they are used up (no message) or when no file is open. */
HX_API int64_t hx_search_next(void);

/* Offset of the last hit of the last search, also when it lies beyond the
 * 10000 kept. -1 without a message when no file is open or there was no hit. */
HX_API int64_t hx_search_last(void);

/* One field of kept hit `index` (0 to count-1, at most 9999): "offset" as
 * "0x%016llx"; "context_hex", the bytes from 16 before the hit to 16 after it
 * as hex digits (at most 504); "context_ascii", the same bytes as text with
 * "." for unprintable bytes, JSON-escaped (at most 504 bytes shown). Contexts
 * come from the file open now, clipped to it (empty when nothing of the
 * window is mapped). "" on failure: "no file open",
 * "search index out of range",
 * "unknown field: <field> (offset|context_hex|context_ascii)",
 * "file shrank on disk since it was opened: <path>" (contexts only);
 * a NULL field gives "" without a message. */
HX_API const char *hx_search_field(int32_t index, const char *field);

/* ---- Editing ------------------------------------------------------------- */

/* Edits are staged in a list (at most 1000 at a time, holding at most
 * HX_MAX_STAGED_BYTES bytes between them) and reach the disk only
 * through hx_save. Each edit's offset counts in the content that the edits
 * staged before it leave. Staging needs a file opened with hx_open_rw; any
 * refusal leaves the list exactly as it was. The edited content is kept as a
 * list of pieces of the mapped file and of the edits' bytes, never as a copy
 * of the file: an edit and the next page cost time and memory by the number
 * of edits, on a file of any size. */

/* Stage an overwrite of the bytes in `hex_bytes` (hex pairs such as
 * "de ad be ef", separated or not by space, tab, comma or colon; no "??") at
 * `offset`. Bytes that would fall past the end of the content are dropped: a
 * write never makes the content longer. Messages: "NULL hex_bytes",
 * "invalid hex bytes: <text>", "wildcards not allowed in patch bytes",
 * "no file open", "file opened read-only - use hx_open_rw",
 * "negative offset", "staged edits cap reached (1000)", "out of memory";
 * also, as an addition, "staged bytes cap reached: <N> bytes are staged and
 * this edit adds <M>, past the cap of 1073741824 (save first, or stage less)"
 * when the bytes held by the staged writes and inserts (N; a delete holds
 * none) and this edit's M would exceed HX_MAX_STAGED_BYTES. A write counts
 * all of its bytes, also those it drops past the end. hx_discard, a save and
 * an open give the room back. */
HX_API int hx_write(const char *hex_bytes, int64_t offset);

/* Stage an insert of the bytes in `hex_bytes` before `offset` (at the end when
 * `offset` is past it). Same syntax and messages as hx_write. */
HX_API int hx_insert(const char *hex_bytes, int64_t offset);

/* Stage the removal of `length` bytes at `offset` (cut short at the end of the
 * content; a length of 0 is staged too). A negative length fails with
 * "negative length" before any other check. */
HX_API int hx_delete(int64_t offset, int64_t length);

/* The staged edits, first staged first, as a JSON list of
 *   {"op":"write"|"insert","offset":"0x%012llx","len":N,"bytes":"<hex>"}
 *   {"op":"delete","offset":"0x%012llx","len":N}
 * where "bytes" shows at most the first 64 bytes in lowercase hex. "[]" when
 * nothing is staged; "" with "no file open" when no file is open. */
HX_API const char *hx_staged_json(void);

/* Drop every staged edit and the content built from them (read-only files
 * too). 0, or -1 with "no file open". A copy that a failed rewrite in place
 * left on disk (see hx_save) stays there with its journal. */
HX_API int hx_discard(void);

/* Write the content with the staged edits applied.
 *   path NULL or "": in place, over the open file; nothing happens when no edit
 *     is staged. On success the file is opened again as saved, with no edits
 *     staged and an empty error text.
 *   any other path: save-as; the open file stays open and unchanged, and the
 *     staged edits are dropped on success. A path that names the open file
 *     (the same volume and file id: another spelling, a symbolic or a hard
 *     link) is a save in place, with all that means. A path that is a
 *     symbolic link to nothing is refused: "cannot save to <path>: it is a
 *     symbolic link to <target>, which does not exist".
 * A save in place writes the file the open found: it first checks that the
 * opened path still leads to it (a link re-pointed, or another file renamed
 * over it, would send the content elsewhere) and otherwise refuses with
 * "the file at <path> is no longer the one that was opened - the edits are
 * kept; save to another file". Every save of an existing file holds its save
 * lock (see below) throughout; when another save of it holds it still after
 * about 1.5 s, it fails with "another process is saving <path> - save again
 * when that save has ended" (these texts never begin with "busy:", which
 * means a long call of this process).
 * Edits that only overwrite bytes (the content keeps its size and every other
 * byte its offset), saved over the open file when it is a regular file,
 * hard-linked or not, patch the changed bytes in place behind a journal: the
 * save writes the changed bytes three times (old and new ones to the journal,
 * new ones to the file; the journal is built in memory first, at most twice
 * HX_MAX_STAGED_BYTES) and flushes twice, whatever the file's size, and the
 * file keeps its identity, so every name of it sees the new bytes. Any
 * failure puts the old bytes back, leaves no journal, keeps the edits staged
 * and the open file as it was; messages: "cannot create journal: <journal>
 * (win error <code>)", "cannot write journal: <journal> (win error <code>)",
 * "WriteFile failed: <path>" (a patch write or the file's flush),
 * "cannot remove journal: <journal> (win error <code>) - the file was left as
 * it was", "a journal of an earlier save is in the way: <journal> - remove it
 * to save in place" (a journal of the user's that the open left alone; for a
 * save-as target: "a journal of an earlier save of <path> is in the way:
 * <journal> - open <path> read-write to finish or undo that save first"),
 * "out of memory". Only
 * when putting the old bytes back fails too is " - the file may be partly
 * saved: open it read-write to roll it back from <journal>" added: the
 * journal then stays, and the next read-write open rolls it back.
 * Any other save writes the content to a new file in the target's folder,
 * which is flushed and its size checked before it replaces the target
 * (keeping its permission bits and, where allowed, owner and group; a
 * symbolic link's file is replaced, not the link). Holes of a sparse open
 * file stay holes in the new file (SEEK_DATA/SEEK_HOLE; on Windows the
 * sparse-file calls, where the volume has them). Any failure before the
 * replacement leaves the target untouched, the open file usable and the edits
 * staged. The content streams from the file and the edits' bytes in writes
 * of at most 1 MiB, so a save holds 1 MiB of heap whatever the file's size.
 * Only a target with several hard links (with inserts or deletes), one that
 * is not a regular file, a folder that lets no file be made or renamed, or a
 * new file that cannot take the target's permission bits gets the target
 * rewritten in place. A regular file is rewritten only behind a way back: a
 * whole copy of the content goes first to a new file beside it (hashed as it
 * is written, and flushed), then a journal that names the copy with its size
 * and hash; only then is the file emptied and written, and both go once it
 * is flushed. After a kill at any moment the next read-write open finishes
 * the rewrite from the copy. A failure there leaves the copy and its
 * journal, and the message ends in " - the content is whole in <copy>"; the
 * edits stay staged and pages read the copy, for another save; the next
 * read-write open of the file (after hx_close or a discard) finishes the
 * rewrite from the copy, when the file holds what it held before the
 * rewrite (the journal records its size and content hash) or a beginning of
 * the new content, as the rewrite leaves it; a file written since is left
 * alone with the journal. A target that is no regular file (a device) is
 * written over as it is, with no way back; a new target that cannot be made
 * fails with "cannot open for write" and leaves nothing.
 * Content that an earlier failed save left in that save's new file (its
 * rename failed and the file could not be mapped again) is read from that
 * file; after such a failure the file's bytes are no longer read, so new
 * edits are refused ("file content unavailable after a failed save - save
 * again or reopen the file").
 * When the file's folder lets no file be made, the journal and the copy go
 * to the user's state folder instead; with no place for them at all, a save
 * that would write the file in place is refused before it touches anything:
 * "cannot save <path> in place: no journal can be made beside it nor in
 * <state folder> (win error <code>) - the edits are kept; save to another
 * file".
 * When the save succeeded but opening the file again fails, the message says
 * so ("saved <path>, but it could not be opened again: <reason>"), -1 is
 * returned and no file is open.
 * Other messages: "no file open", "out of memory materializing logical file",
 * "cannot open for write: <path> (win error <code>)", "WriteFile failed: <path>",
 * "save size mismatch: expected <n> got <n>",
 * "file shrank on disk since it was opened: <path>".
 * A write past the process's file-size limit raises SIGXFSZ on POSIX, which
 * ends the process unless ignored; the library never changes signal
 * handling, so a host that wants the save to fail with its message instead
 * (EFBIG) ignores SIGXFSZ, as the hexview command does.
 *
 * Saves and their journals. A journal is "<file>.hexview-journal" beside the
 * file (symbolic links followed), or "<volume>-<file id>.hexview-journal"
 * (16 hex digits each) in the user's state folder when that folder lets no
 * file be made, when a file that is not provably the user's has the
 * journal's name there (it is left alone and does not stop the save), or,
 * first, when the file has several hard links (so that an open through any
 * of its names finds it). The state folder is $XDG_STATE_HOME/quillmar-hexview, by default
 * ~/.local/state/quillmar-hexview (POSIX), %LOCALAPPDATA%\quillmar-hexview
 * (Windows), made for its owner only. Every open of the file by the same user
 * looks in both places; another user's open cannot see a journal in this
 * user's state folder, so while such a journal is pending (a save of this
 * user was killed part-way) another user sees the file as the killed save
 * left it, until this user's next read-write open puts it right. A journal is
 * written under a temporary name, flushed and renamed into place (its folder
 * flushed too) before the file is touched, and removed only after the file
 * is flushed; as its name goes it is also emptied through the handle the
 * save kept on it (POSIX), so a copy of it that someone kept under another
 * name (a rename, a second hard link) is empty and never rolls a finished
 * save back.
 * The save lock: a save holds a lock on the file (POSIX flock, a lock of the
 * open file description; Windows LockFileEx of one byte at offset
 * 0x7ffffffffffffff0, far past any data) from before its journal or copy
 * exists until they are gone; an open acts on a journal only while it holds
 * the lock itself, so a journal is rolled back only when its save is gone.
 * The lock belongs to one open handle: two handles, in one process or two,
 * exclude each other, and a killed process lets go of it.
 * A journal is acted on only when it is provably the user's: a regular file
 * with one name, opened without following a link, owned by the user
 * (Windows: by the process's user or its default owner; a volume without
 * access control lists, such as FAT, owns nothing, so its files count as
 * the user's) and that neither group nor others may write (POSIX); when it is whole (its checksum
 * matches, its ranges lie inside the file); when it was written for this
 * file (volume, file id and, for a patch, size); and, for a patch, when
 * every byte of each range holds either its old or its new value (a file
 * changed since the save stopped is left alone, to decide by hand). A
 * rewrite's copy must pass the same ownership test, have the recorded size
 * and hash, and lie in the journal's folder. A stray file under a journal's
 * name costs the read of its header at most. Its format, integers unsigned
 * 64-bit little-endian:
 *   offset 0   the 8 bytes "HXJRNL02"
 *          8   the kind: 1 a patch, 2 a rewrite
 *         16   the file's size (a patch: before and after; a rewrite: the
 *              new content's)
 *         24   the file's volume and 32 its file id (POSIX st_dev, st_ino;
 *              Windows volume serial number and file index)
 *         40   n: a patch's number of ranges; a rewrite's copy name length
 *         48   a patch: n ranges, each: offset, length, the content hash of
 *              the new bytes, then `length` old bytes and `length` new bytes;
 *              a rewrite: the content hash of the copy, the size and content
 *              hash of the file before the rewrite, the file's birth time
 *              (POSIX statx, ns since the epoch; 0 where unknown, and on
 *              Windows, whose file ids change when a file record is reused:
 *              then not checked), then the copy's name (in the journal's
 *              folder)
 *         end  FNV-1a 64 (offset basis 14695981039346656037, prime
 *              1099511628211) of every byte before it
 * The content hash is a polynomial of the bytes taken as little-endian
 * 8-byte words (the last one padded with zeros), each split into its low and
 * high 32 bits, in base 0x1e3779b97f4a7c15 mod 2^61-1, times the base once
 * more plus the length. A journal of an older version ("HXJRNL01": the size
 * at 8, volume 16, file id 24, n 32, then ranges of offset, length and old
 * bytes) is still rolled back under the same rules but for the content
 * check, and the notice says so. */
HX_API int hx_save(const char *path);

/* ---- Analysis ------------------------------------------------------------ */

/* A one-line summary of the open file:
 *   {"name":"...","size":N,"is_rw":0|1,"entropy_avg":H,"modified":0|1,"staged_bytes":N}
 * "name" is the path as opened, JSON-escaped (shortened, at a whole escape,
 * when the object would not fit its 4096 bytes); "size" is hx_file_size();
 * "modified" is 1 while edits are staged and "staged_bytes" sums their lengths
 * (inserts, overwrites and deletes alike). "entropy_avg" (bits per byte, %.4f)
 * is measured on the file as on disk: the whole file up to 1 MiB; its first
 * 1 MiB up to 2 MiB; above that the mean of the entropies of its first and
 * last 1 MiB; 0.0000 for an empty file and while the view is gone after a
 * failed in-place save. "" with "no file open" when no file is open, or with
 * "file shrank on disk since it was opened: <path>". */
HX_API const char *hx_info_json(void);

/* An entropy profile of the file as on disk, in eight blocks of
 * B = min(size / 8, 2 MiB) bytes laid end to end from offset 0:
 *   {"entropy_avg":A,"entropy_min":L,"entropy_max":H,"buckets":[16 counts],"sampled_bytes":8*B}
 * The buckets count the single byte values 0x00, 0x10, ..., 0xF0 over the
 * blocks. An empty file gives entropies written as 0.0, sixteen 0 buckets and
 * "sampled_bytes":0. While the view is gone after a failed in-place save no
 * byte is read: 0.0000 throughout and "sampled_bytes":0. "" with
 * "no file open" when no file is open, or with
 * "file shrank on disk since it was opened: <path>". */
HX_API const char *hx_entropy_json(void);

/* Compare the open file as on disk, byte by byte, with the file at `path`,
 * up to the end of the longer one; past its end a file reads as 0x00.
 * Differences are stored as runs of at most 64 consecutive differing bytes,
 * at most 10000 runs (later differences are dropped). Returns 0 on success,
 * with or without differences, and -1 on failure ("no file open",
 * "NULL path", "cannot open compare file: <path> (win error N)",
 * "GetFileSizeEx failed: <path>", "CreateFileMapping failed: <path>",
 * "MapViewOfFile failed: <path>", "out of memory recording compare runs",
 * "file shrank on disk since it was opened: <path>",
 * "compare file shrank on disk during the compare: <path>").
 * Every call with a file open first drops the runs of the last compare, so a
 * failure leaves none; closing or opening a file keeps them. */
HX_API int hx_compare(const char *path);

/* The number of runs stored by the last compare (0 to 10000), or -1 with
 * "no file open" when no file is open. */
HX_API int hx_compare_count(void);

/* One field of run `index` (0 to count-1): "offset" as "0x%016llx", "this_hex" or
 * "other_hex" as two lowercase hex digits per byte of the open file or the
 * compare file. "" on failure: "no file open", "diff index out of range",
 * "unknown field: <field> (offset|this_hex|other_hex)"; a NULL field gives ""
 * and no message. */
HX_API const char *hx_compare_field(int index, const char *field);

/* ---- Long calls: progress, cancel, and calls beside them ------------------
 * hx_cancel and hx_progress_json are an addition to the 23 calls above, which
 * stay as they are; the Windows DLL exports them too. A host that must run
 * with an older library looks them up by name before using them.
 *
 * The long calls are hx_search, hx_compare and hx_save. While one runs on a
 * thread, other threads may call, and get answers at once (they wait only for
 * one another's short calls, never for the long call's end):
 *   - always: hx_last_error, hx_cancel, hx_progress_json, hx_file_size,
 *     hx_page, hx_ascii_only, hx_staged_json, hx_info_json, hx_entropy_json;
 *   - during a search: also staging (hx_write, hx_insert, hx_delete,
 *     hx_discard) and the compare runs (hx_compare_count, hx_compare_field);
 *     a search reads the file as on disk, which staging leaves alone;
 *   - during a compare: also staging and the hits (hx_search_count,
 *     hx_search_next, hx_search_last, hx_search_field);
 *   - during a save: also the hits and the compare runs. Pages show the
 *     content being saved. An in-place save maps the file again at its end
 *     holding the lock, so a page is read either before or after that, never
 *     from a view being replaced.
 * Every other call conflicts and is refused, changing nothing, with
 * "busy: <op> is running (cancel it or wait for its end)" where <op> is
 * "a search", "a compare" or "a save", and -1, "" or (hx_close) no effect:
 * a second long call, hx_open, hx_open_rw and hx_close during any long call;
 * the hits during a search; the runs during a compare; staging during a save.
 *
 * A cancelled long call fails (-1) with a message that starts with
 * "cancelled", such as "cancelled: search stopped before its end", and leaves
 * the state of a failure, which never passes for a whole result:
 *   - search: no hit kept, hx_search_count() 0, hx_search_last() -1;
 *   - compare: no run kept, hx_compare_count() 0;
 *   - save: the target untouched, no temporary file left, the edits still
 *     staged and the open file as it was. A save is cancelled only before it
 *     replaces its target; once the replacement has begun it ends.
 * A cancel takes effect within about 100 ms of the request.
 */

/* Asks the long call running now (on any thread) to stop. 0 when one was
 * running, -1 (no message) when none was. Safe from any thread at any time,
 * and from a signal handler: it only reads and writes lock-free atomics. A
 * cancel made when nothing runs is forgotten: it never stops a later call. */
HX_API int32_t hx_cancel(void);

/* Where the long call running now stands, as
 *   {"op":"search"|"compare"|"save"|"","done":N,"total":N,"hits":N}
 * "op" is "" with every number 0 when none runs. "done" counts the bytes done
 * of "total" (a search: of the file from its start offset; a compare: of the
 * longer file; a save: of the content written); it never goes down and
 * reaches "total" when the call ends whole. "hits" is the number of hits a
 * search found so far (0 for the others); its last value is the search's
 * count. Safe from any thread at any time; it never waits. The text lives in
 * the calling thread's buffer, as other text results do. */
HX_API const char *hx_progress_json(void);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMAR_HEXVIEW_H */
