// The classes this server creates: only the driver object.
#include "AsioHalvern.h"
#include "com/class_factory.h"
#include "driver_ids.h"

namespace halvern::com {

const FactoryTemplate kFactoryTemplates[] = {
    {kDriverObjectName, &kHalvernAsioClsid, &driver::AsioHalvern::create},
};
const std::size_t kFactoryTemplateCount = sizeof kFactoryTemplates / sizeof kFactoryTemplates[0];

} // namespace halvern::com
