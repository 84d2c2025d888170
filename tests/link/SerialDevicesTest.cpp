// What SerialDevices.h reads of each device from a sysfs and /dev tree built in a temporary
// folder: the list, and what a USB adapter says of itself.
#include <gtest/gtest.h>

#include "SerialDeviceTree.h"
#include "SerialDevices.h"

namespace {

TEST(SerialDevicesTest, ReadsWhatAUsbAdapterSaysOfItself) {
    orvtest::CSerialDeviceTree tree;
    tree.AddUart("ttyS0", 4);
    tree.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", "usb-FTDI_FT232R_USB_UART_A10K-if00-port0");
    tree.SetUsbAttribute("ttyUSB0", "idProduct", "6001");
    tree.SetUsbAttribute("ttyUSB0", "serial", "A10K");
    // An adapter without a serial number and with ids that are no 16-bit hex: unknown.
    tree.AddUsb("ttyUSB1", "", "", "");
    tree.SetUsbAttribute("ttyUSB1", "idVendor", "04031");
    tree.SetUsbAttribute("ttyUSB1", "idProduct", "-601");
    tree.AddUsb("ttyUSB2", "", "", "");
    tree.SetUsbAttribute("ttyUSB2", "idVendor", "zz01");
    tree.SetUsbAttribute("ttyUSB2", "idProduct", "FFFF");

    const struct {
        const char* pName;
        const char* pStableName;
        const char* pModel;
        const char* pSerial;
        int nVendorId;
        int nProductId;
    } expected[] = {
        {"ttyS0", "", "", "", -1, -1},
        {"ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0", "FT232R USB UART",
         "A10K", 0x0403, 0x6001},
        {"ttyUSB1", "", "", "", -1, -1},
        {"ttyUSB2", "", "", "", -1, 0xFFFF},
    };
    const std::vector<SerialDevice> devices = ListSerialDevices(tree.Root());
    ASSERT_EQ(devices.size(), std::size(expected));
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(expected[i].pName);
        EXPECT_EQ(devices[i].strName, expected[i].pName);
        EXPECT_EQ(devices[i].strStableName, expected[i].pStableName);
        EXPECT_EQ(devices[i].strModel, expected[i].pModel);
        EXPECT_EQ(devices[i].strSerialNumber, expected[i].pSerial);
        EXPECT_EQ(devices[i].nVendorId, expected[i].nVendorId);
        EXPECT_EQ(devices[i].nProductId, expected[i].nProductId);
    }
}

}  // namespace
