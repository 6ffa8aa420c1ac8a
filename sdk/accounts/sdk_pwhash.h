/* Password hashes of local users: the MD5-crypt hash of "/etc/shadow", the
 * LAN Manager and NT hashes of the SMB password file, and the writers of
 * both files' temporary copies during an account transaction. */
#ifndef SDK_PWHASH_H
#define SDK_PWHASH_H

#include <stddef.h>

#include "sdk_userset.h"
#include "slib_szhash.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define SZF_SHADOW "/etc/shadow"
#define SZF_SHADOW_TMP "/etc/shadow.tmp"
#define SZF_SMBPASSWD "/usr/qavo/etc/private/smbpasswd"
#define SZF_SMBPASSWD_TMP "/usr/qavo/etc/private/smbpasswd.tmp"

/* Bytes of an LM or NT hash, and the room of its hexadecimal form. */
#define SDKI_PWHASH_SIZE 16
#define SDKI_PWHASH_HEX_SIZE 33
/* The LM field of the SMB password file for "no hash". */
#define SDKI_LM_NO_HASH "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX"

/* 1 when s holds "$1$" followed by more than 9 characters; else 0. */
int IsPasswdMD5Encrypt(const char *s);
/* The salt character that n picks: |n| modulo 64 into "0-9A-Za-z./". */
char SDKISaltChar(long n);
/* MD5-crypt of password. An empty salt makes one from the current time, a
 * salt that is an MD5-crypt hash is used whole, any other salt follows
 * "$1$". The result belongs to the crypt layer (overwritten by the next
 * call); NULL (0x0D00 NULL arguments, 0x0200, 0x8100 when crypt fails). */
char *SDKIPwdCrypt(const char *password, const char *salt);

/* MD4 (RFC 1320) of len bytes into out[16]. */
void SDKIMD4Hash(const unsigned char *data, size_t len, unsigned char *out);
/* One DES block (FIPS 46-3): in[8] to out[8] under the 56 key bits of
 * key7[7]; encryption when forward, else decryption. */
void SDKIDESHash(unsigned char *out, const unsigned char *in, const unsigned char *key7,
                 int forward);

/* NT hash: MD4 of the password's first 128 UTF-16LE units (bytes that are
 * not UTF-8 count as Latin-1) into out, which holds size bytes: at least
 * SDKI_PWHASH_SIZE, of which the first 16 are written. 0, -1 (0x0D00 NULL
 * arguments, 0x0100 size below 16, 0x8000 a failed conversion, 0x0200). */
int SDKINTHash(const char *password, unsigned char *out, int size);
/* LM hash of the password upper-cased in the code page of the "codepage"
 * setting into out, size bytes as for SDKINTHash. 0, -1 (0x0D00 NULL
 * arguments, 0x0100 size below 16 or a password of 128 bytes or more once
 * upper-cased or converted, 0x2000 no valid code-page setting, 0x8000 a
 * character the code page lacks; the upper-casing's code (0x0200)). */
int SDKILMHash(const char *password, unsigned char *out, int size);
/* The hashes as 32 upper-case hex digits into hex (at least 33 bytes).
 * 0 / -1 (0x0D00 NULL arguments; the hash's code); when the LM hash cannot
 * be computed, hex holds SDKI_LM_NO_HASH. */
int SDKINTPwdEncrypt(const char *plain, char *hex);
int SDKILMPwdEncrypt(const char *plain, char *hex);

/* Write "/etc/shadow.tmp" and "/usr/qavo/etc/private/smbpasswd.tmp" for the
 * changed and new users of a transaction; the caller renames them. Both give
 * 1 when a user's line was written, 0 for an unchanged copy, -1 on failure
 * (0x0D00, 0x0200, 0x0900, 0x2000 a changed user without its new password
 * (smbpasswd); the crypt's, the copy's or the hash writer's code). */
int SDKIModifyShadow(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH *newPasswords);
int SDKIModifySmbpasswd(PSLIBSZHASH changed, PSLIBSZHASH added, PSLIBSZHASH newPasswords,
                        PSLIBSZHASH existing);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
