// A host project built against the installed package: the headers compile, the interface IID
// is the one the plugin answers to, and the package names the installed plugin.
#include <IVXFileUpload.h>
#include <VXResultCodes.h>

#include <cstdio>

int main()
{
    std::printf("iid=%s\nplugin=%s\nresult=%s\n", qobject_interface_iid<IVXFileUpload*>(),
                VXFILEUPLOAD_PLUGIN, qPrintable(VXResult::text(VXResult::ManagerFailure)));
    return 0;
}
