// SPDX-License-Identifier: GPL-2.0
/*
 * A software FireWire card for testing the updater against the kernel's own FireWire core.
 *
 * The card has two nodes: the local one (this machine) and one remote node whose every
 * request is handed to a program through /dev/kacard, which chooses the ack and the
 * response. Everything between a /dev/fwN client and this card is the core's: transaction
 * labels, split time-outs, generations, rcodes, device creation, shutdown and revival.
 *
 * Requests to the local node are answered here, as a link answers them in hardware.
 */
#include <linux/device.h>
#include <linux/firewire.h>
#include <linux/firewire-constants.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/version.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

#include "core.h"
#include "kacard_abi.h"

#define KACARD_GUID 0x0200000000000a00ULL

#define TCODE_OF(q) (((q) >> 4) & 0x0f)
#define DESTINATION_OF(q) (((q) >> 16) & 0xffff)
#define DATA_LENGTH_OF(q) (((q) >> 16) & 0xffff)
#define EXTENDED_TCODE_OF(q) ((q) & 0xffff)

/* Self-IDs: the remote node is phy 0 (a child of the local node), the local node phy 1,
 * root and IRM. The gap counts are the ones the bus manager wants, or it would send a PHY
 * configuration packet and reset the bus again. */
#define SELF_ID_REMOTE 0x80458480u
#define SELF_ID_LOCAL_WITH_REMOTE 0x81458cc0u
#define SELF_ID_LOCAL_ALONE 0x807f8c40u

#define CONFIG_ROM_BYTES 1024

struct kacard_pending {
	struct list_head link;
	struct fw_packet *packet;
	u32 handle;
	u32 header[4];
	struct kacard_request request;
};

struct kacard {
	struct fw_card card;
	struct device *parent;

	/* Guards everything below. */
	spinlock_t lock;
	int generation;
	bool remote_present;
	bool remote_wanted;
	u16 local_node_id;
	__be32 config_rom[CONFIG_ROM_BYTES / 4];
	size_t config_rom_length;
	u32 bus_manager_csr[4];
	u32 state_csr;
	int phy_reg[16];
	u32 next_handle;
	/* Requests for the remote node not yet read, and read but not yet answered. */
	struct list_head queued;
	struct list_head delivered;
	bool server_open;

	wait_queue_head_t readable;
	struct work_struct reset_work;
	struct mutex command_lock;
};

static struct kacard *the_card;

static struct kacard *kacard_of(struct fw_card *card)
{
	return container_of(card, struct kacard, card);
}

static void complete_packet(struct kacard *kc, struct fw_packet *packet, int ack)
{
	packet->ack = ack;
	packet->callback(packet, &kc->card, ack);
}

/* Takes every request not yet answered off the lists; the caller completes them. */
static void take_all_locked(struct kacard *kc, struct list_head *taken)
{
	list_splice_tail_init(&kc->delivered, taken);
	list_splice_tail_init(&kc->queued, taken);
}

static void flush_taken(struct kacard *kc, struct list_head *taken, int ack)
{
	struct kacard_pending *pending, *next;

	list_for_each_entry_safe(pending, next, taken, link) {
		list_del(&pending->link);
		complete_packet(kc, pending->packet, ack);
		kfree(pending);
	}
}

static void kacard_bus_reset(struct kacard *kc)
{
	u32 self_ids[2];
	int count, generation, node_id;
	unsigned long flags;
	LIST_HEAD(taken);

	spin_lock_irqsave(&kc->lock, flags);
	kc->generation = (kc->generation % 255) + 1;
	kc->remote_present = kc->remote_wanted;
	if (kc->remote_present) {
		self_ids[0] = SELF_ID_REMOTE;
		self_ids[1] = SELF_ID_LOCAL_WITH_REMOTE;
		count = 2;
		kc->local_node_id = LOCAL_BUS | 1;
		kc->phy_reg[1] = 5;
	} else {
		self_ids[0] = SELF_ID_LOCAL_ALONE;
		count = 1;
		kc->local_node_id = LOCAL_BUS;
		kc->phy_reg[1] = 63;
	}
	kc->bus_manager_csr[0] = 0x3f;
	kc->bus_manager_csr[1] = 4915;
	kc->bus_manager_csr[2] = ~0u;
	kc->bus_manager_csr[3] = ~0u;
	generation = kc->generation;
	node_id = kc->local_node_id;
	take_all_locked(kc, &taken);
	spin_unlock_irqrestore(&kc->lock, flags);

	/* What was still in the transmit queue never went out. */
	flush_taken(kc, &taken, RCODE_GENERATION);
	fw_core_handle_bus_reset(&kc->card, node_id, generation, count, self_ids, false);
}

static void kacard_reset_work(struct work_struct *work)
{
	struct kacard *kc = container_of(work, struct kacard, reset_work);

	mutex_lock(&kc->command_lock);
	kacard_bus_reset(kc);
	mutex_unlock(&kc->command_lock);
}

static int kacard_enable(struct fw_card *card, const __be32 *config_rom, size_t length)
{
	struct kacard *kc = kacard_of(card);
	unsigned long flags;

	if (length > sizeof(kc->config_rom))
		return -EINVAL;
	spin_lock_irqsave(&kc->lock, flags);
	memcpy(kc->config_rom, config_rom, length);
	kc->config_rom_length = length;
	spin_unlock_irqrestore(&kc->lock, flags);
	schedule_work(&kc->reset_work);
	return 0;
}

static int kacard_set_config_rom(struct fw_card *card, const __be32 *config_rom, size_t length)
{
	return kacard_enable(card, config_rom, length);
}

static int kacard_read_phy_reg(struct fw_card *card, int address)
{
	struct kacard *kc = kacard_of(card);

	if (address < 0 || address >= ARRAY_SIZE(kc->phy_reg))
		return -EINVAL;
	return kc->phy_reg[address];
}

static int kacard_update_phy_reg(struct fw_card *card, int address, int clear_bits, int set_bits)
{
	struct kacard *kc = kacard_of(card);
	bool reset = (address == 1 || address == 5) && (set_bits & 0x40);

	if (address < 0 || address >= ARRAY_SIZE(kc->phy_reg))
		return -EINVAL;
	kc->phy_reg[address] = (kc->phy_reg[address] & ~clear_bits) | (set_bits & ~0x40);
	if (reset)
		schedule_work(&kc->reset_work);
	return 0;
}

static void answer_local_rom(struct kacard *kc, struct fw_packet *packet, u64 csr,
			     struct fw_packet *response)
{
	int tcode = TCODE_OF(packet->header[0]);
	size_t length = tcode == TCODE_READ_QUADLET_REQUEST ? 4 : DATA_LENGTH_OF(packet->header[3]);
	size_t start = csr - CSR_CONFIG_ROM;

	/* The ROM changes only by set_config_rom, which resets the bus first. */
	if (start + length > CONFIG_ROM_BYTES)
		fw_fill_response(response, packet->header, RCODE_ADDRESS_ERROR, NULL, 0);
	else if (tcode != TCODE_READ_QUADLET_REQUEST && tcode != TCODE_READ_BLOCK_REQUEST)
		fw_fill_response(response, packet->header, RCODE_TYPE_ERROR, NULL, 0);
	else
		fw_fill_response(response, packet->header, RCODE_COMPLETE,
				 (u8 *)kc->config_rom + start, length);
	fw_core_handle_response(&kc->card, response);
}

static void answer_local_lock(struct kacard *kc, struct fw_packet *packet, u64 csr,
			      struct fw_packet *response)
{
	int tcode = TCODE_OF(packet->header[0]);
	int length = DATA_LENGTH_OF(packet->header[3]);
	int index = (csr - CSR_BUS_MANAGER_ID) / 4;
	__be32 *payload = packet->payload;
	__be32 old;
	unsigned long flags;

	if (tcode == TCODE_LOCK_REQUEST &&
	    EXTENDED_TCODE_OF(packet->header[3]) == EXTCODE_COMPARE_SWAP && length == 8) {
		u32 arg = be32_to_cpu(payload[0]);
		u32 data = be32_to_cpu(payload[1]);

		spin_lock_irqsave(&kc->lock, flags);
		old = cpu_to_be32(kc->bus_manager_csr[index]);
		if (kc->bus_manager_csr[index] == arg)
			kc->bus_manager_csr[index] = data;
		spin_unlock_irqrestore(&kc->lock, flags);
	} else if (tcode == TCODE_READ_QUADLET_REQUEST) {
		spin_lock_irqsave(&kc->lock, flags);
		old = cpu_to_be32(kc->bus_manager_csr[index]);
		spin_unlock_irqrestore(&kc->lock, flags);
	} else {
		fw_fill_response(response, packet->header, RCODE_TYPE_ERROR, NULL, 0);
		fw_core_handle_response(&kc->card, response);
		return;
	}
	fw_fill_response(response, packet->header, RCODE_COMPLETE, &old, sizeof(old));
	fw_core_handle_response(&kc->card, response);
}

/* As a link answers requests to its own node: the ROM and the bus manager's registers
 * itself, everything else through the core's address handlers. */
static void answer_local_request(struct kacard *kc, struct fw_packet *packet)
{
	struct fw_packet response;
	u64 offset = ((u64)(packet->header[1] & 0xffff) << 32) | packet->header[2];
	u64 csr = offset - CSR_REGISTER_BASE;

	complete_packet(kc, packet, ACK_PENDING);
	if (csr >= CSR_CONFIG_ROM && csr < CSR_CONFIG_ROM_END) {
		answer_local_rom(kc, packet, csr, &response);
	} else if (csr >= CSR_BUS_MANAGER_ID && csr <= CSR_CHANNELS_AVAILABLE_LO) {
		answer_local_lock(kc, packet, csr, &response);
	} else {
		fw_core_handle_request(&kc->card, packet);
	}
}

static void kacard_send_request(struct fw_card *card, struct fw_packet *packet)
{
	struct kacard *kc = kacard_of(card);
	struct kacard_pending *pending;
	unsigned long flags;
	int tcode = TCODE_OF(packet->header[0]);
	u16 destination = DESTINATION_OF(packet->header[0]);
	bool local, remote;

	if (tcode == TCODE_LINK_INTERNAL) {
		complete_packet(kc, packet, ACK_COMPLETE);
		return;
	}
	spin_lock_irqsave(&kc->lock, flags);
	if (packet->generation != kc->generation) {
		spin_unlock_irqrestore(&kc->lock, flags);
		complete_packet(kc, packet, RCODE_GENERATION);
		return;
	}
	local = destination == kc->local_node_id;
	remote = kc->remote_present && destination == LOCAL_BUS;
	spin_unlock_irqrestore(&kc->lock, flags);

	if (local) {
		answer_local_request(kc, packet);
		return;
	}
	if (!remote) {
		complete_packet(kc, packet, RCODE_NO_ACK);
		return;
	}

	pending = kzalloc(sizeof(*pending), GFP_ATOMIC);
	if (!pending) {
		complete_packet(kc, packet, RCODE_SEND_ERROR);
		return;
	}
	pending->packet = packet;
	memcpy(pending->header, packet->header, sizeof(pending->header));
	pending->request.tcode = tcode;
	pending->request.offset = ((u64)(packet->header[1] & 0xffff) << 32) | packet->header[2];
	pending->request.generation = packet->generation;
	switch (tcode) {
	case TCODE_WRITE_QUADLET_REQUEST:
		pending->request.length = 4;
		memcpy(pending->request.data, &packet->header[3], 4);
		break;
	case TCODE_READ_QUADLET_REQUEST:
		pending->request.length = 4;
		break;
	case TCODE_READ_BLOCK_REQUEST:
		pending->request.length = DATA_LENGTH_OF(packet->header[3]);
		break;
	default:
		pending->request.length = min_t(size_t, packet->payload_length, KACARD_MAX_PAYLOAD);
		pending->request.extended_tcode = EXTENDED_TCODE_OF(packet->header[3]);
		if (packet->payload_length > KACARD_MAX_PAYLOAD) {
			kfree(pending);
			complete_packet(kc, packet, ACK_TYPE_ERROR);
			return;
		}
		memcpy(pending->request.data, packet->payload, packet->payload_length);
		break;
	}

	spin_lock_irqsave(&kc->lock, flags);
	pending->handle = ++kc->next_handle;
	pending->request.handle = pending->handle;
	list_add_tail(&pending->link, &kc->queued);
	spin_unlock_irqrestore(&kc->lock, flags);
	wake_up_interruptible(&kc->readable);
}

static void kacard_send_response(struct fw_card *card, struct fw_packet *packet)
{
	struct kacard *kc = kacard_of(card);
	u16 destination = DESTINATION_OF(packet->header[0]);
	bool local;
	unsigned long flags;

	spin_lock_irqsave(&kc->lock, flags);
	local = destination == kc->local_node_id && packet->generation == kc->generation;
	spin_unlock_irqrestore(&kc->lock, flags);
	/* The remote node never sends requests, so a response goes to this node only. */
	if (local)
		fw_core_handle_response(card, packet);
	complete_packet(kc, packet, ACK_COMPLETE);
}

static int kacard_cancel_packet(struct fw_card *card, struct fw_packet *packet)
{
	struct kacard *kc = kacard_of(card);
	struct kacard_pending *pending, *found = NULL;
	unsigned long flags;

	spin_lock_irqsave(&kc->lock, flags);
	list_for_each_entry(pending, &kc->queued, link) {
		if (pending->packet == packet) {
			found = pending;
			break;
		}
	}
	if (!found) {
		list_for_each_entry(pending, &kc->delivered, link) {
			if (pending->packet == packet) {
				found = pending;
				break;
			}
		}
	}
	if (found)
		list_del(&found->link);
	spin_unlock_irqrestore(&kc->lock, flags);
	if (!found)
		return -ENOENT;
	complete_packet(kc, packet, RCODE_CANCELLED);
	kfree(found);
	return 0;
}

static int kacard_enable_phys_dma(struct fw_card *card, int node_id, int generation)
{
	return -ENODEV;
}

static u32 kacard_read_csr(struct fw_card *card, int csr_offset)
{
	struct kacard *kc = kacard_of(card);

	switch (csr_offset) {
	case CSR_STATE_CLEAR:
	case CSR_STATE_SET:
		return kc->state_csr;
	case CSR_NODE_IDS:
		return (u32)kc->local_node_id << 16;
	default:
		return 0;
	}
}

static void kacard_write_csr(struct fw_card *card, int csr_offset, u32 value)
{
	struct kacard *kc = kacard_of(card);

	if (csr_offset == CSR_STATE_CLEAR)
		kc->state_csr &= ~value;
	else if (csr_offset == CSR_STATE_SET)
		kc->state_csr |= value;
}

static struct fw_iso_context *kacard_allocate_iso_context(struct fw_card *card, int type,
							  int channel, size_t header_size)
{
	return ERR_PTR(-ENODEV);
}

static void kacard_free_iso_context(struct fw_iso_context *ctx)
{
}

static int kacard_start_iso(struct fw_iso_context *ctx, s32 cycle, u32 sync, u32 tags)
{
	return -ENODEV;
}

static int kacard_set_iso_channels(struct fw_iso_context *ctx, u64 *channels)
{
	return -ENODEV;
}

static int kacard_queue_iso(struct fw_iso_context *ctx, struct fw_iso_packet *packet,
			    struct fw_iso_buffer *buffer, unsigned long payload)
{
	return -ENODEV;
}

static void kacard_flush_queue_iso(struct fw_iso_context *ctx)
{
}

static int kacard_flush_iso_completions(struct fw_iso_context *ctx)
{
	return -ENODEV;
}

static int kacard_stop_iso(struct fw_iso_context *ctx)
{
	return -ENODEV;
}

static const struct fw_card_driver kacard_driver = {
	.enable = kacard_enable,
	.read_phy_reg = kacard_read_phy_reg,
	.update_phy_reg = kacard_update_phy_reg,
	.set_config_rom = kacard_set_config_rom,
	.send_request = kacard_send_request,
	.send_response = kacard_send_response,
	.cancel_packet = kacard_cancel_packet,
	.enable_phys_dma = kacard_enable_phys_dma,
	.read_csr = kacard_read_csr,
	.write_csr = kacard_write_csr,
	.allocate_iso_context = kacard_allocate_iso_context,
	.free_iso_context = kacard_free_iso_context,
	.start_iso = kacard_start_iso,
	.set_iso_channels = kacard_set_iso_channels,
	.queue_iso = kacard_queue_iso,
	.flush_queue_iso = kacard_flush_queue_iso,
	.flush_iso_completions = kacard_flush_iso_completions,
	.stop_iso = kacard_stop_iso,
};

/* The character device the remote node's program uses. One program at a time. */

static int kacard_open(struct inode *inode, struct file *file)
{
	struct kacard *kc = the_card;
	unsigned long flags;
	int ret = 0;

	spin_lock_irqsave(&kc->lock, flags);
	if (kc->server_open)
		ret = -EBUSY;
	else
		kc->server_open = true;
	spin_unlock_irqrestore(&kc->lock, flags);
	return ret;
}

/* The program is gone: so is its node. */
static int kacard_release(struct inode *inode, struct file *file)
{
	struct kacard *kc = the_card;
	unsigned long flags;
	bool was_present;

	mutex_lock(&kc->command_lock);
	spin_lock_irqsave(&kc->lock, flags);
	was_present = kc->remote_wanted;
	kc->remote_wanted = false;
	kc->server_open = false;
	spin_unlock_irqrestore(&kc->lock, flags);
	if (was_present)
		kacard_bus_reset(kc);
	mutex_unlock(&kc->command_lock);
	return 0;
}

static ssize_t kacard_read(struct file *file, char __user *buffer, size_t count, loff_t *offset)
{
	struct kacard *kc = the_card;
	struct kacard_pending *pending;
	struct kacard_request *request;
	unsigned long flags;
	ssize_t ret = sizeof(*request);

	if (count < sizeof(*request))
		return -EINVAL;
	/* A copy: an answer, a reset or a cancel may free the request meanwhile. */
	request = kmalloc(sizeof(*request), GFP_KERNEL);
	if (!request)
		return -ENOMEM;
	for (;;) {
		spin_lock_irqsave(&kc->lock, flags);
		pending = list_first_entry_or_null(&kc->queued, struct kacard_pending, link);
		if (pending) {
			list_move_tail(&pending->link, &kc->delivered);
			*request = pending->request;
		}
		spin_unlock_irqrestore(&kc->lock, flags);
		if (pending)
			break;
		if (file->f_flags & O_NONBLOCK) {
			ret = -EAGAIN;
			goto out;
		}
		ret = wait_event_interruptible(kc->readable, !list_empty(&kc->queued));
		if (ret)
			goto out;
	}
	ret = sizeof(*request);
	if (copy_to_user(buffer, request, sizeof(*request)))
		ret = -EFAULT;
out:
	kfree(request);
	return ret;
}

static __poll_t kacard_poll(struct file *file, poll_table *wait)
{
	struct kacard *kc = the_card;

	poll_wait(file, &kc->readable, wait);
	return list_empty(&kc->queued) ? 0 : EPOLLIN | EPOLLRDNORM;
}

static bool valid_ack(int ack)
{
	switch (ack) {
	case ACK_COMPLETE:
	case ACK_PENDING:
	case ACK_BUSY_X:
	case ACK_BUSY_A:
	case ACK_BUSY_B:
	case ACK_DATA_ERROR:
	case ACK_TYPE_ERROR:
	case RCODE_SEND_ERROR:
	case RCODE_NO_ACK:
	case RCODE_GENERATION:
		return true;
	default:
		return false;
	}
}

static int kacard_answer(struct kacard *kc, struct kacard_command *command)
{
	struct kacard_pending *pending, *found = NULL;
	struct fw_packet response;
	unsigned long flags;

	if (!valid_ack(command->ack) || command->length > KACARD_MAX_PAYLOAD ||
	    command->rcode > RCODE_ADDRESS_ERROR)
		return -EINVAL;
	spin_lock_irqsave(&kc->lock, flags);
	list_for_each_entry(pending, &kc->delivered, link) {
		if (pending->handle == command->handle) {
			found = pending;
			break;
		}
	}
	if (found)
		list_del(&found->link);
	spin_unlock_irqrestore(&kc->lock, flags);
	/* Flushed by a bus reset or cancelled meanwhile. */
	if (!found)
		return -ENOENT;

	complete_packet(kc, found->packet, command->ack);
	if (command->ack == ACK_PENDING && command->respond) {
		size_t length = command->rcode == RCODE_COMPLETE ? command->length : 0;

		memset(&response, 0, sizeof(response));
		fw_fill_response(&response, found->header, command->rcode, command->data, length);
		fw_core_handle_response(&kc->card, &response);
	}
	kfree(found);
	return 0;
}

static ssize_t kacard_write(struct file *file, const char __user *buffer, size_t count,
			    loff_t *offset)
{
	struct kacard *kc = the_card;
	struct kacard_command *command;
	unsigned long flags;
	ssize_t ret = count;

	if (count != sizeof(*command))
		return -EINVAL;
	command = kmalloc(sizeof(*command), GFP_KERNEL);
	if (!command)
		return -ENOMEM;
	if (copy_from_user(command, buffer, sizeof(*command))) {
		kfree(command);
		return -EFAULT;
	}
	mutex_lock(&kc->command_lock);
	switch (command->command) {
	case KACARD_ANSWER: {
		int error = kacard_answer(kc, command);

		if (error)
			ret = error;
		break;
	}
	case KACARD_BUS_RESET:
		spin_lock_irqsave(&kc->lock, flags);
		kc->remote_wanted = command->present != 0;
		spin_unlock_irqrestore(&kc->lock, flags);
		kacard_bus_reset(kc);
		break;
	default:
		ret = -EINVAL;
	}
	mutex_unlock(&kc->command_lock);
	kfree(command);
	return ret;
}

static const struct file_operations kacard_fops = {
	.owner = THIS_MODULE,
	.open = kacard_open,
	.release = kacard_release,
	.read = kacard_read,
	.write = kacard_write,
	.poll = kacard_poll,
	.llseek = noop_llseek,
};

static struct miscdevice kacard_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "kacard",
	.fops = &kacard_fops,
};

static int __init kacard_init(void)
{
	struct kacard *kc;
	int ret;

	kc = kzalloc(sizeof(*kc), GFP_KERNEL);
	if (!kc)
		return -ENOMEM;
	spin_lock_init(&kc->lock);
	mutex_init(&kc->command_lock);
	INIT_LIST_HEAD(&kc->queued);
	INIT_LIST_HEAD(&kc->delivered);
	init_waitqueue_head(&kc->readable);
	INIT_WORK(&kc->reset_work, kacard_reset_work);
	kc->phy_reg[1] = 63;
	kc->local_node_id = LOCAL_BUS;

	kc->parent = root_device_register("kacard");
	if (IS_ERR(kc->parent)) {
		ret = PTR_ERR(kc->parent);
		kfree(kc);
		return ret;
	}
	the_card = kc;
	ret = misc_register(&kacard_misc);
	if (ret)
		goto fail_misc;
	fw_card_initialize(&kc->card, &kacard_driver, kc->parent);
	/* 2048-byte payloads at S400; no isochronous contexts. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 12, 0)
	ret = fw_card_add(&kc->card, 10, SCODE_400, KACARD_GUID, 1);
#else
	ret = fw_card_add(&kc->card, 10, SCODE_400, KACARD_GUID);
#endif
	if (ret)
		goto fail_card;
	return 0;

fail_card:
	misc_deregister(&kacard_misc);
fail_misc:
	root_device_unregister(kc->parent);
	kfree(kc);
	the_card = NULL;
	return ret;
}

/* No exit: the card stays until the machine powers off, so it cannot be unloaded under the
 * core's feet. */
module_init(kacard_init);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("A software FireWire card whose remote node is played by a program");
