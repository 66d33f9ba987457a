// The `disparar` command.
#pragma once

// Fires the shutter: remote trigger, or a full capture with immediate
// download where the driver cannot trigger.
void disparar();
