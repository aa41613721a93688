// The libusb-1.0 stand-in: a shared library with libusb's own file name
// (libusb-1.0.so.0) and ABI, chosen over the system's by the library search
// path (LD_LIBRARY_PATH=build/<preset>/libusb-standin, or by linking it). Its
// bus holds simulated towers (sim::TowerModel, firmware and IR link as the
// host machine's own towers have them, the far side a mirror by default)
// instead of real devices.
//
// What it implements of libusb: libusb_init/exit (the default context too),
// set_option/set_debug/set_log_cb (accepted, ignored), get_version,
// has_capability, error_name, strerror; get_device_list/free_device_list,
// ref_device/unref_device, get_device_descriptor, get_active_config_descriptor,
// get_config_descriptor(_by_value), free_config_descriptor, get_bus_number,
// get_device_address, get_port_number, get_port_numbers, get_parent (none),
// get_device_speed (full), get_max_packet_size; open, open_device_with_vid_pid,
// close, get_device, get/set_configuration, claim/release_interface,
// set_interface_alt_setting, clear_halt, reset_device,
// kernel_driver_active/detach/attach, set_auto_detach_kernel_driver;
// alloc/submit/cancel/free_transfer for control, bulk and interrupt
// transfers (timeouts included), the synchronous control/bulk/interrupt
// transfers and get_string_descriptor_ascii; hotplug_register/deregister
// (ENUMERATE too) and hotplug_get_user_data; handle_events,
// handle_events_completed, handle_events_timeout(_completed) and
// interrupt_event_handler.
//
// As in real libusb: hot-plug callbacks and transfer callbacks run inside
// libusb_handle_events* of the context, on the calling thread. A plugged
// tower is configured (configuration 1) as the operating system does at
// enumeration. A cancelled transfer completes with LIBUSB_TRANSFER_CANCELLED
// (a timed-out one with LIBUSB_TRANSFER_TIMED_OUT); when a tower is
// unplugged its transfers complete with LIBUSB_TRANSFER_NO_DEVICE, every call
// on its handles returns LIBUSB_ERROR_NO_DEVICE, and hot-plug callbacks hear
// LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT. Standard requests on endpoint 0
// (GET_DESCRIPTOR of the device and configurations, SET/GET_CONFIGURATION,
// GET_STATUS, CLEAR_FEATURE, SET_INTERFACE) are answered by the bus; the
// others go to the tower's firmware. libusb_reset_device powers the tower
// off and on again (what it held completes with LIBUSB_TRANSFER_NO_DEVICE,
// its settings go back to the factory's) and keeps the same device.
//
// Control from the process itself: the functions below.
//
// Control from another process (Wine runs the library in winedevice.exe):
// the environment variable TOWER_LIBUSB_STANDIN names a directory. While
// some thread is in libusb_handle_events* (and at libusb_init), the library
// looks into it about every 50 ms and carries out the command files it finds,
// oldest first, deleting each:
//   plug-N     tower N (1 to 31) is plugged in; the file may hold words:
//              "silent" (its far side hears nothing), "instant" (no link
//              delay), "denied" (opening it fails with LIBUSB_ERROR_ACCESS,
//              as without permission on the device node)
//   unplug-N   tower N is unplugged
// After each change it rewrites DIR/status (atomically), one line per
// plugged tower: "N bus 1 address A port N". Create a command file in one
// step (`touch DIR/plug-1`, or write it elsewhere and `mv` it in) and wait
// for DIR/status to show the result before the next command on that tower.
#pragma once

#include <memory>
#include <vector>

#include "sim/tower.h"

#define TOWER_STANDIN_API __attribute__((visibility("default")))

namespace standin {

inline constexpr int kMaxTowers = 31;
inline constexpr char kControlDirVariable[] = "TOWER_LIBUSB_STANDIN";

// Plugs in simulated tower `number` (1 to kMaxTowers; 0 takes the lowest
// free number) with these options; every libusb context hears its arrival.
// Returns the tower, or null when the number is taken or out of range.
TOWER_STANDIN_API std::shared_ptr<sim::TowerModel> Plug(int number,
                                                        const sim::TowerOptions& options = {});
// The number of the tower Plug made last (0 before any).
TOWER_STANDIN_API int LastPlugged();
// Unplugs tower `number`: what it held completes with NO_DEVICE, then every
// context hears it leave. False when it is not plugged in.
TOWER_STANDIN_API bool Unplug(int number);
// Opening tower `number` fails with this libusb error (0: opens again).
TOWER_STANDIN_API void RefuseOpen(int number, int libusbError);
// The simulated tower plugged in as `number`, or null.
TOWER_STANDIN_API std::shared_ptr<sim::TowerModel> Tower(int number);
// The numbers of the towers plugged in, lowest first.
TOWER_STANDIN_API std::vector<int> Plugged();
// Transfers submitted and not yet handed back to their owner through a
// callback, over every context (a test's check that nothing is left out).
TOWER_STANDIN_API size_t TransfersInFlight();

}  // namespace standin
