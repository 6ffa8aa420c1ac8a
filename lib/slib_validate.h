/* Validators for names and addresses typed into the management interface:
 * user, group, share and workgroup names, short identifiers, mail addresses,
 * dotted-quad IPv4 addresses and netmasks, and the conversions between
 * address/netmask and address/prefix notation.
 *
 * The Bl... validators return 1 (valid) or 0, and set 0x0D00 for a NULL
 * text. The address checks set 0x1000 when they refuse, and rewrite a valid
 * address text in place in its decimal form "%d.%d.%d.%d" (never longer than
 * the text it replaces). The name checks count characters through the
 * Unicode layer, whose code a text that is not UTF-8 leaves. */
#ifndef SLIB_VALIDATE_H
#define SLIB_VALIDATE_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Longest texts the mail checks and the address converters take (their
 * working copies hold one byte more); longer texts are refused. */
#define SLIB_MAIL_TEXT_MAX 511
#define SLIB_NETADDR_TEXT_MAX 63

/* Room the converters' outputs need, with the terminating NUL. */
#define SLIB_NETADDR_PREFIX_SIZE 19 /* "255.255.255.255/32" */
#define SLIB_NETADDR_MASK_SIZE 32   /* "255.255.255.255/255.255.255.255" */

/* Reads four parts with strtol base 0 (octal with a leading 0, hexadecimal
 * with 0x, an optional sign); the first three end at ".", the fourth at the
 * end of the text. Every part needs a digit and must fit an int. 4 on
 * success; otherwise the index (0 to 3) of the part that failed, with
 * 0x1000 (0x0D00 for NULL). */
int SLIBParseDottedQuad(const char *text, int parts[4]);
/* Prefix length 1 to 32 of a contiguous netmask; 0 for the all-zero mask,
 * and 0 with 0x1000 for a part above 255 (unsigned) or a non-contiguous mask. */
int SLIBNetmaskPrefix(const int parts[4]);

/* 1 to 64 UTF-8 characters of ASCII letters, digits, ".", "-", "_", blanks
 * and bytes 0x80 and above; not starting with "-" or a blank, not ending in a
 * blank, and not made only of dots. */
int BlSLIBIsUserName(const char *name);
/* The user-name rule with at most 15 characters. */
int BlSLIBIsGroupName(const char *name);
/* The user-name rule with at most 32 characters. */
int BlSLIBIsShareName(const char *name);
/* Not empty, no blank at either end, no control byte, DEL or any of
 * "*+,/:;<=>?[\]| and the double quote. */
int BlSLIBIsWorkGroupName(const char *name);
/* At most 15 bytes; a letter or "_" first, then letters, digits, "-" and
 * "_". The empty text is accepted, NULL is not. */
int BlSLIBIsIdentifier(const char *text);

/* 1 when text is a mail atom (letters, digits and the atom's signs), else
 * 0; a refusal sets no code. */
int BlSLIBIsMailAtom(const char *text);
/* Mail atoms separated by single dots. */
int BlSLIBIsMailDotAtom(const char *text);
/* dot-atom@dot-atom. */
int BlSLIBIsMailAddress(const char *text);

/* A host address: first part 1 to 223 but not 127, second and third 0 to
 * 255, fourth 1 to 254. */
int BlSLIBIsIPAddress(char *text);
/* A nonzero contiguous netmask. */
int BlSLIBIsNetmask(char *text);
/* address is the network of netmask (all host bits zero); an address and
 * netmask whose first three parts are all zero are accepted as they are. */
int BlSLIBIsNetworkAddress(char *address, const char *netmask);

/* "a.b.c.d/m.m.m.m" -> "n.n.n.n/len" into output (SLIB_NETADDR_PREFIX_SIZE
 * bytes), or into text itself when output is NULL. 0, or -1 (0x0D00 a NULL
 * text, one without "/" or longer than SLIB_NETADDR_TEXT_MAX; 0x1000 a bad
 * address or netmask). */
int SLIBNetAddrMaskToPrefix(char *text, char *output);
/* "a.b.c.d/len" -> "n.n.n.n/m.m.m.m" into output (SLIB_NETADDR_MASK_SIZE
 * bytes); the result is longer than the text, so output is required.
 * 0, or -1 (0x0D00 as above or a NULL output; 0x1000 a bad address or a
 * prefix outside 1 to 32). */
int SLIBNetAddrPrefixToMask(const char *text, char *output);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
