/* Settings of the network services that are not shares: the UPnP
 * port-mapping and dynamic-DNS daemons. */
#ifndef QAVO_SERVSETTING_H
#define QAVO_SERVSETTING_H

#ifdef __cplusplus
extern "C" {
#endif

/* Actions on a daemon. */
enum {
    QAVO_SERV_STOP = 1,    /* only a running daemon */
    QAVO_SERV_START = 2,   /* the script's "restart" */
    QAVO_SERV_RESTART = 3, /* the script's "restart" */
    QAVO_SERV_RELOAD = 4   /* SIGHUP, only a running daemon */
};

/* 1 done (or an action outside 1-4), 0 the daemon does not run, -1 failed. */
int QAVOUPnPService(int action);
int QAVODDNSService(int action);

#ifdef __cplusplus
}
#endif

#endif
