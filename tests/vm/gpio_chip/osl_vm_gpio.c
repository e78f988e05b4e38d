// SPDX-License-Identifier: GPL-2.0
/*
 * A GPIO controller with nothing behind it, for the test machine: lines 0 to
 * 27 as on the board's header, reachable through sysfs, each request,
 * direction change, value write and release told in the kernel log so the
 * guest can read back what the library did to its lamps.
 */
#include <linux/bitmap.h>
#include <linux/gpio/driver.h>
#include <linux/module.h>

#define OSL_VM_GPIO_LINES 28

static DECLARE_BITMAP(osl_vm_gpio_out, OSL_VM_GPIO_LINES);
static DECLARE_BITMAP(osl_vm_gpio_value, OSL_VM_GPIO_LINES);

static int osl_vm_gpio_request(struct gpio_chip *gc, unsigned int line)
{
	pr_info("osl-vm-gpio: line %u request\n", line);
	return 0;
}

static void osl_vm_gpio_free(struct gpio_chip *gc, unsigned int line)
{
	pr_info("osl-vm-gpio: line %u free\n", line);
}

static int osl_vm_gpio_get_direction(struct gpio_chip *gc, unsigned int line)
{
	return test_bit(line, osl_vm_gpio_out) ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int osl_vm_gpio_direction_input(struct gpio_chip *gc, unsigned int line)
{
	clear_bit(line, osl_vm_gpio_out);
	pr_info("osl-vm-gpio: line %u in\n", line);
	return 0;
}

static int osl_vm_gpio_direction_output(struct gpio_chip *gc, unsigned int line, int value)
{
	set_bit(line, osl_vm_gpio_out);
	assign_bit(line, osl_vm_gpio_value, value);
	pr_info("osl-vm-gpio: line %u out %d\n", line, !!value);
	return 0;
}

static int osl_vm_gpio_get(struct gpio_chip *gc, unsigned int line)
{
	return test_bit(line, osl_vm_gpio_value);
}

static void osl_vm_gpio_set(struct gpio_chip *gc, unsigned int line, int value)
{
	assign_bit(line, osl_vm_gpio_value, value);
	pr_info("osl-vm-gpio: line %u = %d\n", line, !!value);
}

static struct gpio_chip osl_vm_gpio_chip = {
	.label = "osl-vm-gpio",
	.owner = THIS_MODULE,
	.base = 0,
	.ngpio = OSL_VM_GPIO_LINES,
	.request = osl_vm_gpio_request,
	.free = osl_vm_gpio_free,
	.get_direction = osl_vm_gpio_get_direction,
	.direction_input = osl_vm_gpio_direction_input,
	.direction_output = osl_vm_gpio_direction_output,
	.get = osl_vm_gpio_get,
	.set = osl_vm_gpio_set,
};

static int __init osl_vm_gpio_init(void)
{
	return gpiochip_add_data(&osl_vm_gpio_chip, NULL);
}

static void __exit osl_vm_gpio_exit(void)
{
	gpiochip_remove(&osl_vm_gpio_chip);
}

module_init(osl_vm_gpio_init);
module_exit(osl_vm_gpio_exit);
MODULE_DESCRIPTION("GPIO lines 0-27 with nothing behind them, for the Ostrel test machine");
MODULE_LICENSE("GPL");
