/* A program of the appliance built against the installed library: it
 * writes and reads a key/value file, reads a user and counts the groups. */
#include <qavo/qavo_group.h>
#include <qavo/qavo_user.h>
#include <qavo/slib_errcode.h>
#include <qavo/slib_keyvalue.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    char value[64];
    if (SLIBFileSetKeyValue("/tmp/consumer.conf", "color", "blue", SLIB_KEYVALUE_FMT_QUOTED) < 0 ||
        SLIBFileGetKeyValue("/tmp/consumer.conf", "color", value, sizeof value, 0) <= 0 ||
        strcmp(value, "blue") != 0) {
        fprintf(stderr, "key/value failed [%X]\n", SLIBErrGet());
        return 1;
    }
    int needed = 0;
    if (QAVOUserGet(0, QAVO_USER_LOCAL, "admin", NULL, 0, &needed) != 0 || needed <= 0) {
        fprintf(stderr, "user size failed [%X]\n", SLIBErrGet());
        return 1;
    }
    QAVOUSER *user = malloc((size_t)needed);
    if (user == NULL || QAVOUserGet(0, QAVO_USER_LOCAL, "admin", user, needed, &needed) != 1) {
        fprintf(stderr, "user failed [%X]\n", SLIBErrGet());
        return 1;
    }
    const int groups = QAVOGroupTotalNum(QAVO_GROUP_FLAG_LOCAL);
    if (groups < 0) {
        fprintf(stderr, "groups failed [%X]\n", SLIBErrGet());
        return 1;
    }
    printf("%s %s \"%s\" groups %d\n", value, user->name, user->description, groups);
    free(user);
    return 0;
}
