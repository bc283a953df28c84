// Band-table fields of the shared record (config.txt, ventola.txt,
// filter.txt).
#pragma once

struct TablesFields {
};
