/* A program of the appliance built against the installed library: it
 * writes and reads a key/value file, reads a user, counts the groups and
 * lists the local users. */
#include <qavo/qavo_group.h>
#include <qavo/qavo_user.h>
#include <qavo/qavo_userenum.h>
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
    printf("%s %s \"%s\" groups %d users", value, user->name, user->description, groups);
    free(user);
    if (QAVOUserEnum(QAVO_USER_ENUM_LOCAL, NULL, 0, &needed) != 0 || needed <= 0) {
        fprintf(stderr, "user list size failed [%X]\n", SLIBErrGet());
        return 1;
    }
    char **names = malloc((size_t)needed);
    const int n = names == NULL ? -1 : QAVOUserEnum(QAVO_USER_ENUM_LOCAL, names, needed, &needed);
    if (n < 0) {
        fprintf(stderr, "user list failed [%X]\n", SLIBErrGet());
        return 1;
    }
    for (int i = 0; i < n; ++i)
        printf(" %s", names[i]);
    printf("\n");
    free(names);
    return 0;
}
