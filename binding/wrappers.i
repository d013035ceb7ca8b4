/* The KT_INTERFACE_<Name> wrappers, in the slot order of KT_INTERFACE. Each takes the table
 * as its first parameter, named iface, which table_arg.i converts. */
