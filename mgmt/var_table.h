// The variables a controller can read and write, in numeric ID order.
#pragma once

#include "mgmt/my_snmp.h"

// Built once by var_table_init and read without a lock afterwards, by the
// poller thread and by web server threads.
extern MyVarTable varTable;
// The rows as declared, before expansion: the "mib" variable describes these.
extern MyVarTable varTableUnexpanded;

// Fills table with the declared rows and expanded instances, and unexpanded
// with the rows a controller is told about.
void var_table_build(MyVarTable& table, MyVarTable& unexpanded);
// Builds the two global tables; call once before any reader starts.
void var_table_init();
