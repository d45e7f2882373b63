#include "app/program.h"

#include "app/core/EngineFiles.h"
#include "app/core/Settings.h"
#include "app/core/StopSignals.h"
#include "app/form_adapters.h"
#include "convert/conversion.h"
#include "platform/path.h"
#include "spi/SPIs.h"
#include "spi/helper/spi_helper.h"

#include <cstdlib>
#include <ostream>

namespace zumo {

Program::Program(ProgramSetup setup)
    : m_setup(std::move(setup)), m_settings_path(SettingsFilePath(m_setup.executable_path))
{
}

Program::~Program() = default;

void Program::LoadPlugins()
{
    // Each plug-in runs in a helper process of its own: one that crashes or
    // hangs costs the picture it was asked for, not the program. What the
    // plug-ins say about themselves is kept between runs, so a start only
    // launches helpers for new or changed plug-ins.
    // ZUMO_SPI_HOSTING=in-process keeps them in the program (comparisons).
    const char* hosting = std::getenv("ZUMO_SPI_HOSTING");
    SetSPIHosting(hosting && std::string(hosting) == "in-process" ? SPIHosting::InProcess
                                                                  : SPIHosting::Helper);
    SetSPIInfoCacheFile(DefaultSPIInfoCacheFile());
    // A stop signal gives up a plug-in request under way at once, so that
    // the program ends with its settings written however long the plug-in
    // would take.
    SetHelperStopCheck(&StopRequested);
    auto spis = std::make_unique<TSPIs>();
    spis->GraphicPreview = false;
    spis->Loaded();
    m_spis = std::move(spis);
}

TForm1Hooks Program::Hooks()
{
    TForm1Hooks hooks;
    hooks.FormCreate = [this](TForm1& form) { FormCreate(form); };
    hooks.FormShow = [this](TForm1& form) { FormShow(form); };
    hooks.FormDestroy = [this](TForm1& form) { FormDestroy(form); };
    return hooks;
}

void Program::FormCreate(TForm1& form)
{
    // Every file of the "spi" folder beside the executable, and of the
    // installed plug-in folder, is tried as a plug-in. A failure there ends
    // the creation handler: the settings are not read and the window opens
    // with its designed values.
    form.WorkPath = PreparePluginFolder(m_setup.executable_path);
    try {
        SearchPluginFolders(form.WorkPath);
    } catch (const std::exception& e) {
        form.Host().ShowMessage(e.what());
        return;
    }
    FormSettingsWindow window(form);
    LoadSettings(m_settings_path, window);
}

void Program::SearchPluginFolders(const std::string& work_path)
{
    if (!m_spis)
        return;
    m_spis->SearchSPI(work_path);
    // The plug-ins shipped with an installed program are searched last,
    // after the places a program run from its build folder has.
    if (RunsInstalled(m_setup.executable_path))
        m_spis->SearchSPI(InstalledPluginFolder(m_setup.executable_path) +
                          platform::path_separator() + "*");
}

void Program::ListPlugins(std::ostream& out)
{
    const std::string folder = platform::folder_part(m_setup.executable_path) + "spi";
    SearchPluginFolders(folder + platform::path_separator() + "*");
    if (!m_spis)
        return;
    for (int i = 0; i < m_spis->Count(); ++i) {
        const TSPI& spi = *m_spis->Items(i);
        out << spi.FileName() << "  " << spi.APIVersion() << "  " << spi.PluginTitle() << '\n';
        const auto& filters = spi.Filters();
        const auto& descriptions = spi.FilterDescriptions();
        for (std::size_t f = 0; f < filters.size(); ++f)
            out << "    " << filters[f] << "  "
                << (f < descriptions.size() ? descriptions[f] : std::string()) << '\n';
    }
}

void Program::FormShow(TForm1& form)
{
    ConversionEngine engine(form, form.Host());
    engine.SetJobsOverride(m_setup.jobs);
    EngineFileProcessor processor(engine, form);
    RunContext context{form, form.Host(), processor, &StopRequested, m_setup.observer};
    FormApplicationControl application(form);
    CommandLineOptions options;
    options.session = m_setup.session;
    FormShowRun(m_setup.files, context, application, options);
}

void Program::FormDestroy(TForm1& form)
{
    // A write that fails stops the writing silently; the program ends
    // normally either way.
    const FormSettingsWindow window(form);
    SaveSettings(m_settings_path, window);
    m_spis.reset();
}

} // namespace zumo
