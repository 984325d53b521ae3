/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What passes between the software FireWire card and the program that plays the remote
 * node, through /dev/kacard. A read() gives one request for the remote node; a write()
 * takes one command. Shared by the module (C) and the unit server (C++).
 */
#ifndef KACARD_ABI_H
#define KACARD_ABI_H

#include <linux/types.h>

#define KACARD_MAX_PAYLOAD 2048

struct kacard_request {
	__u32 handle;
	__u32 tcode;
	__u64 offset;
	/* bytes carried (writes, locks) or asked for (block reads); 4 for quadlets */
	__u32 length;
	__u32 generation;
	__u32 extended_tcode;
	__u32 reserved;
	__u8 data[KACARD_MAX_PAYLOAD];
};

enum kacard_command_kind {
	/* Complete request 'handle' with 'ack'. With ACK_PENDING and 'respond', a response
	 * with 'rcode' and 'length' bytes of 'data' follows at once; without 'respond', none
	 * ever does. */
	KACARD_ANSWER = 1,
	/* A bus reset; the remote node is on the bus afterwards when 'present' is set. Every
	 * request not yet answered is flushed, as a link flushes its transmit queue. */
	KACARD_BUS_RESET = 2,
};

struct kacard_command {
	__u32 command;
	__u32 handle;
	__s32 ack;
	__u32 respond;
	__u32 rcode;
	__u32 length;
	__u32 present;
	__u32 reserved;
	__u8 data[KACARD_MAX_PAYLOAD];
};

#endif
