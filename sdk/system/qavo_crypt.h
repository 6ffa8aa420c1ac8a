/* The library's symmetric byte cipher, for keeping texts unreadable at rest:
 * a three-rotor machine over bytes whose key is built inside the library.
 * One pass enciphers; the same pass over the result deciphers. */
#ifndef QAVO_CRYPT_H
#define QAVO_CRYPT_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/*
 * Zero-fills out (outSize bytes) and writes the strlen(in) transformed bytes
 * of in to it. 0, or -1 (0x0D00 NULL argument, 0x0100 outSize not greater
 * than strlen(in), 0x8100 the key cannot be built). The output may hold any byte,
 * a zero byte too: store it in text files through QAVOStrCryptHex.
 */
int QAVOStrCrypt(const char *in, char *out, int outSize);
/*
 * Replaces the file's content by its transformed bytes, through a temporary
 * copy beside it ("<path>.<pid>", never an existing file) that keeps the
 * file's mode and owner and is renamed over it only when every byte was read
 * and written. 0, or -1 (0x0D00 a NULL path or no regular file, 0x0900 the
 * file or the copy cannot be opened, 0x0A00 a read error, 0x0B00 a write,
 * sync, close or rename error, 0x0200).
 */
int QAVOFileCrypt(const char *path);

/*
 * The form in which enciphered texts are stored in text files: the
 * transformed bytes of in as lower-case hexadecimal, two digits a byte, so
 * no zero byte, line break or field separator can reach the file. outSize
 * must exceed 2 * strlen(in). 0, or -1 (0x0D00 NULL argument, 0x0100 out too
 * small, 0x8100 the key cannot be built).
 */
int QAVOStrCryptHex(const char *in, char *out, int outSize);
/*
 * Reads the stored form back: decodes the hexadecimal text and deciphers it
 * into out (outSize must exceed strlen(hex) / 2). 0, or -1 (0x0D00 NULL
 * argument or text that is not such a stored form, 0x0100 out too small).
 */
int QAVOStrDecryptHex(const char *hex, char *out, int outSize);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
