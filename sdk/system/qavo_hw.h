/* Hardware control: commands to the BIOS driver "/dev/qavobios" or to the
 * front-panel controller on the second serial port, hardware events, the
 * system temperature, the fan settings and a few hardware questions. These
 * operations set no error code of their own: failures are logged; the
 * settings writers leave the key/value code (QAVOINFOSetKeyValue). */
#ifndef QAVO_HW_H
#define QAVO_HW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define QAVO_BIOS_DEVICE "/dev/qavobios"
#define QAVO_UART2_DEVICE "/dev/ttyS1"

/* Requests of the BIOS driver (type 'K'). */
#define QAVO_BIOS_EXTCTRL 0xc0884b01u     /* QAVOHWEXTCTRL */
#define QAVO_BIOS_GETEVENT 0xc0044b02u    /* int, filled with the event code */
#define QAVO_BIOS_RTC 0xc0084b06u         /* 8 bytes of the real-time clock */
#define QAVO_BIOS_CAPABILITY 0xc0044b0fu  /* int, -1 before, filled by the driver */
#define QAVO_BIOS_TEMPERATURE 0xc0044b10u /* int, twice the temperature */

/* The record of the external-control request, as the driver expects it. */
#define QAVO_HWEXTCTRL_DATA 128
typedef struct _tag_QAVOHWEXTCTRL {
    int32_t command;
    int32_t length;
    char data[QAVO_HWEXTCTRL_DATA]; /* up to 127 bytes of text, zero filled */
} QAVOHWEXTCTRL;

/* Commands of QAVOHWExternalControl whose meaning this library relies on;
 * the others (0x4002, 0x5100-0x5400 and the 0x08xx-0x11xx families) are the
 * driver's and the panel's. */
typedef enum _tag_QAVOHWEXTCTRLCMD {
    QAVO_HWCMD_POWEROFF_NOTICE = 0x4003, /* sent before power-off and reboot */
    QAVO_HWCMD_RCPOWER_ON = 0x5500,      /* power recovery on */
    QAVO_HWCMD_RCPOWER_OFF = 0x5600      /* power recovery off */
} QAVOHWEXTCTRLCMD;

/* Fan speed codes. */
#define QAVO_FAN_ON 0
#define QAVO_FAN_OFF 1
#define QAVO_FAN_HIGH 2
#define QAVO_FAN_LOW 3

/* fd of the driver opened read-write, or -1. */
int QAVOHWBiosOpen(void);
/* 1 when the model drives its front panel over the serial port (supportuart2
 * is exactly "yes"; asked once per process), else 0. */
int BlQAVOHWIsUart2(void);
/* Sets the serial line up: 9600 baud, 8N1, no flow control, local modes off.
 * 0, or -1 for a negative fd. */
int QAVOHWUart2Setup(int fd);
/* Sends a command: its byte to the serial panel, or the record to the driver.
 * 0 or the request's result; -1 on failure (also for a length without data);
 * a negative length sends nothing and gives 0. */
int QAVOHWExternalControl(int command, int length, const char *data);
/* Waits up to timeout seconds (negative: without limit) for a hardware event.
 * 0 event read; 1 time-out or failed read; -1 the driver cannot be opened. */
int QAVOHWGetEvent(int *event, int timeout);
/* 1 when the model controls its fan ("supportfanctrl"), else 0. */
int BlQAVOFanCtrlIsSupported(void);
/* The system temperature in degrees Celsius. 0 / -1. */
int QAVOHWSysTempDegree(int *degrees);
/* 1 when the hardware answers the capability request (boards without it
 * count as capable, the oldest ones not), else 0 (also on failure). */
int BlQAVOHWCapabilityTest(void);
/* The stored fan speed (QAVO_FAN_ON for an unreadable or unknown value);
 * stores one (a bad speed stores "on"): 0, -1. */
int QAVOFanConfigSpeedGet(void);
int QAVOFanConfigSpeedSet(int speed);
/* The stored "fantime" as a number (0 when absent); stores it: 0, -1. */
int QAVOFanConfigTimeGet(void);
int QAVOFanConfigTimeSet(const char *value);
/* The serial number (empty when unknown); always 0. */
int QAVOHWSerialGet(char *buffer, int size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
