// Stand-in: included by GoogleTest on Apple platforms; nothing here is used.
#pragma once
