<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>ddrescue 映射文件 (*.map);;所有文件 (*)</source>
        <translation>ddrescue mapfiles (*.map);;All files (*)</translation>
    </message>
    <message>
        <source>ddrescue 映射文件 (*.map *.mapfile *.log);;所有文件 (*)</source>
        <translation>ddrescue mapfiles (*.map *.mapfile *.log);;All files (*)</translation>
    </message>
    <message>
        <source>挂载到（空文件夹）</source>
        <translation>Mount at (an empty folder)</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CAboutDlg</name>
    <message>
        <source>关于 Corvane</source>
        <translation>About Corvane</translation>
    </message>
    <message>
        <source>Corvane Recovery For HP EVA  V1.0</source>
        <translation>Corvane Recovery For HP EVA  V1.0</translation>
    </message>
    <message>
        <source>README.md</source>
        <translation>README.md</translation>
    </message>
    <message>
        <source>MIT 许可证</source>
        <translation>MIT licence</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>找不到 README.md：它既不在程序旁边，也不在 /usr/share/doc/corvane 中。</source>
        <translation>README.md cannot be found: it is neither beside the program nor in /usr/share/doc/corvane.</translation>
    </message>
    <message>
        <source>没有可以打开 README.md 的程序。
请用文本编辑器或浏览器打开：
%1</source>
        <translation>No program is installed that can open README.md.
Open it with a text editor or a browser:
%1</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CChooseDevice</name>
    <message>
        <source>添加镜像文件</source>
        <translation>Add Image File</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择源</source>
        <translation>Choose Sources</translation>
    </message>
    <message>
        <source>设备名称</source>
        <translation>Device Name</translation>
    </message>
    <message>
        <source>信息</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>映射文件...</source>
        <translation>Mapfile...</translation>
    </message>
    <message>
        <source>为选中的镜像文件指定 GNU ddrescue 映射文件：映射中未标记为 + 的字节按不可读处理</source>
        <translation>Give the selected image its GNU ddrescue mapfile: bytes the map does not mark + are taken as unreadable</translation>
    </message>
    <message>
        <source>ddrescue 映射文件：%1</source>
        <translation>ddrescue mapfile: %1</translation>
    </message>
    <message>
        <source>请先选中一个镜像文件。</source>
        <translation>Select an image file first.</translation>
    </message>
    <message>
        <source>%1 不是 ddrescue 映射文件：%2</source>
        <translation>%1 is not a ddrescue mapfile: %2</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CDamageReport</name>
    <message>
        <source>%1 字节（%2）</source>
        <translation>%1 bytes (%2)</translation>
    </message>
    <message>
        <source>导出失败，目标上的数据不完整。</source>
        <translation>The export failed; the data on the target is incomplete.</translation>
    </message>
    <message>
        <source>导出已停止，目标上的数据不完整。</source>
        <translation>The export was stopped; the data on the target is incomplete.</translation>
    </message>
    <message>
        <source>导出成功！</source>
        <translation>Export succeeded!</translation>
    </message>
    <message>
        <source>导出已完成，但有 %1 无法恢复，目标上的这些字节已填零。</source>
        <translation>The export is complete, but %1 could not be recovered; those bytes are zeros on the target.</translation>
    </message>
    <message>
        <source>导出报告</source>
        <translation>Export Report</translation>
    </message>
    <message>
        <source>LUN：组 %1，id %2</source>
        <translation>LUN: group %1, id %2</translation>
    </message>
    <message>
        <source>目标：%1</source>
        <translation>Target: %1</translation>
    </message>
    <message>
        <source>已写入：%1 / %2 字节</source>
        <translation>Written: %1 / %2 bytes</translation>
    </message>
    <message>
        <source>从成员读取：%1</source>
        <translation>Read from the members: %1</translation>
    </message>
    <message>
        <source>由校验重建：%1</source>
        <translation>Rebuilt from parity: %1</translation>
    </message>
    <message>
        <source>无法恢复（已填零）：%1</source>
        <translation>Not recoverable (zero-filled): %1</translation>
    </message>
    <message>
        <source>目标的校验值：%1</source>
        <translation>Hash of the target: %1</translation>
    </message>
    <message>
        <source>无法恢复的 LUN 字节范围（%1 个；偏移和长度，可选中复制）：</source>
        <translation>LUN byte ranges that could not be recovered (%1; offset and length, select to copy):</translation>
    </message>
    <message>
        <source>偏移</source>
        <translation>Offset</translation>
    </message>
    <message>
        <source>长度</source>
        <translation>Length</translation>
    </message>
    <message>
        <source>%1 字节</source>
        <translation>%1 bytes</translation>
    </message>
    <message>
        <source>复制</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>复制范围</source>
        <translation>Copy Ranges</translation>
    </message>
    <message>
        <source>另存映射文件...</source>
        <translation>Save Map As...</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>损坏映射（GNU ddrescue 格式）已保存到：%1</source>
        <translation>Damage map (GNU ddrescue format) saved to: %1</translation>
    </message>
    <message>
        <source>损坏映射未保存。</source>
        <translation>The damage map was not saved.</translation>
    </message>
    <message>
        <source>从上次的映射继续：前 %1 字节已在目标上，本次从这里开始；下面的读取和重建只计本次。</source>
        <translation>Resumed from the earlier map: the first %1 bytes were already on the target; this run started there, and the read and rebuilt figures below count this run only.</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CExportSeting</name>
    <message>
        <source>导出设置</source>
        <translation>Export Settings</translation>
    </message>
    <message>
        <source>磁盘</source>
        <translation>Disk</translation>
    </message>
    <message>
        <source>只读设备</source>
        <translation>read-only device</translation>
    </message>
    <message>
        <source>没有写入权限</source>
        <translation>no permission to write</translation>
    </message>
    <message>
        <source>设备名称</source>
        <translation>Device Name</translation>
    </message>
    <message>
        <source>信息</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>偏移位置(扇区)</source>
        <translation>Offset (sectors)</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>容量不足：从扇区 %1 起需要 %2（%3 字节），设备只有 %4（%5 字节）</source>
        <translation>too small: from sector %1 the LUN needs %2 (%3 bytes), the device holds %4 (%5 bytes)</translation>
    </message>
    <message>
        <source>不可用：%1；%2</source>
        <translation>Unusable: %1; %2</translation>
    </message>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter an integer.</translation>
    </message>
    <message>
        <source>偏移位置不能为负数。</source>
        <translation>The offset cannot be negative.</translation>
    </message>
    <message>
        <source>偏移位置太大：起始位置超出了磁盘可寻址的范围。</source>
        <translation>The offset is too large: the start lies beyond what a disk can address.</translation>
    </message>
    <message>
        <source>请选择一个目标磁盘。</source>
        <translation>Please choose a target disk.</translation>
    </message>
    <message>
        <source>只能选择一个目标磁盘：请只勾选或选中一行。</source>
        <translation>Only one target disk can be chosen: check or select a single row.</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CLeftView</name>
    <message>
        <source>缺少成员的槽位（行,列）：%1</source>
        <translation>Slots without a member (row,column): %1</translation>
    </message>
    <message>
        <source>无成员标记：前 1 KiB 无法读取</source>
        <translation>No member tag: the first 1 KiB cannot be read</translation>
    </message>
    <message>
        <source>磁盘 id：%1</source>
        <translation>Disk id: %1</translation>
    </message>
    <message>
        <source>无成员标记（磁盘 id：%1）</source>
        <translation>No member tag (disk id: %1)</translation>
    </message>
    <message>
        <source>
后面的源带有同一磁盘 id，取代了它</source>
        <translation>
A later source carries the same disk id and replaced it</translation>
    </message>
    <message>
        <source>
槽位（行,列）：%1</source>
        <translation>
Slots (row,column): %1</translation>
    </message>
    <message>
        <source>移除源(&amp;R)</source>
        <translation>&amp;Remove Source</translation>
    </message>
    <message>
        <source>正在分析或导出，源 %1 未添加。</source>
        <translation>An analysis or export is running; the source %1 was not added.</translation>
    </message>
    <message>
        <source>成员映射(&amp;M)...</source>
        <translation>&amp;Member Map...</translation>
    </message>
    <message>
        <source>警告：%1</source>
        <translation>Warning: %1</translation>
    </message>
    <message>
        <source>映射文件：%1</source>
        <translation>Mapfile: %1</translation>
    </message>
    <message>
        <source>GNU ddrescue 映射文件：其中未标记为 + 的字节按不可读处理</source>
        <translation>GNU ddrescue mapfile: bytes it does not mark + are taken as unreadable</translation>
    </message>
    <message>
        <source>排除(&amp;X)</source>
        <translation>E&amp;xclude</translation>
    </message>
    <message>
        <source>打开本源，但按缺失处理：下次导出由校验重建它的段（例如过时的成员）</source>
        <translation>Open this source but treat it as missing: the next export rebuilds its segments from parity (a stale member, for example)</translation>
    </message>
    <message>
        <source>已排除：按缺失处理，导出时由校验重建</source>
        <translation>Excluded: treated as missing, rebuilt from parity when exported</translation>
    </message>
    <message>
        <source>已排除（按缺失处理）：%1</source>
        <translation>Excluded (treated as missing): %1</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CMainFrame</name>
    <message>
        <source>corvane recovery for hp eva 1.2</source>
        <translation>corvane recovery for hp eva 1.2</translation>
    </message>
    <message>
        <source>添加设备(&amp;N)	Ctrl+N</source>
        <translation>&amp;Add Device	Ctrl+N</translation>
    </message>
    <message>
        <source>添加设备
添加设备(Add)</source>
        <translation>Add a device
Add Device</translation>
    </message>
    <message>
        <source>打开(&amp;O)...</source>
        <translation>&amp;Open...</translation>
    </message>
    <message>
        <source>打开现有文档
打开</source>
        <translation>Open an existing document
Open</translation>
    </message>
    <message>
        <source>保存(&amp;S)</source>
        <translation>&amp;Save</translation>
    </message>
    <message>
        <source>保存活动文档
保存</source>
        <translation>Save the active document
Save</translation>
    </message>
    <message>
        <source>打印(&amp;P)...</source>
        <translation>&amp;Print...</translation>
    </message>
    <message>
        <source>打印活动文档
打印</source>
        <translation>Print the active document
Print</translation>
    </message>
    <message>
        <source>最近的文件</source>
        <translation>Recent File</translation>
    </message>
    <message>
        <source>打开此文档</source>
        <translation>Open this document</translation>
    </message>
    <message>
        <source>退出(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>退出应用程序；提示保存文档
退出</source>
        <translation>Quit the application; prompts to save documents
Exit</translation>
    </message>
    <message>
        <source>撤消(&amp;U)</source>
        <translation>&amp;Undo</translation>
    </message>
    <message>
        <source>撤消上一操作
撤消</source>
        <translation>Undo the last action
Undo</translation>
    </message>
    <message>
        <source>剪切(&amp;T)</source>
        <translation>Cu&amp;t</translation>
    </message>
    <message>
        <source>剪切所选内容，将其放入剪贴板
剪切</source>
        <translation>Cut the selection and put it on the Clipboard
Cut</translation>
    </message>
    <message>
        <source>复制(&amp;C)</source>
        <translation>&amp;Copy</translation>
    </message>
    <message>
        <source>复制所选内容，将其放入剪贴板
复制</source>
        <translation>Copy the selection and put it on the Clipboard
Copy</translation>
    </message>
    <message>
        <source>粘贴(&amp;P)</source>
        <translation>&amp;Paste</translation>
    </message>
    <message>
        <source>插入剪贴板内容
粘贴</source>
        <translation>Insert Clipboard contents
Paste</translation>
    </message>
    <message>
        <source>初始化lun信息</source>
        <translation>Initialise LUN Information</translation>
    </message>
    <message>
        <source>工具栏(&amp;T)</source>
        <translation>&amp;Toolbar</translation>
    </message>
    <message>
        <source>显示或隐藏工具栏
切换工具栏</source>
        <translation>Show or hide the toolbar
Toggle Toolbar</translation>
    </message>
    <message>
        <source>状态栏(&amp;S)</source>
        <translation>&amp;Status Bar</translation>
    </message>
    <message>
        <source>显示或隐藏状态栏
切换状态栏</source>
        <translation>Show or hide the status bar
Toggle Status Bar</translation>
    </message>
    <message>
        <source>拆分(&amp;P)</source>
        <translation>S&amp;plit</translation>
    </message>
    <message>
        <source>将活动窗口拆分为多个窗格
拆分</source>
        <translation>Split the active window into panes
Split</translation>
    </message>
    <message>
        <source>下一窗格</source>
        <translation>Next Pane</translation>
    </message>
    <message>
        <source>切换到下一个窗格
下一窗格</source>
        <translation>Switch to the next window pane
Next Pane</translation>
    </message>
    <message>
        <source>上一窗格</source>
        <translation>Previous Pane</translation>
    </message>
    <message>
        <source>切换回上一个窗格
上一窗格</source>
        <translation>Switch back to the previous window pane
Previous Pane</translation>
    </message>
    <message>
        <source>大图标(&amp;G)</source>
        <translation>Lar&amp;ge Icons</translation>
    </message>
    <message>
        <source>使用大图标显示项
大图标</source>
        <translation>Display items by using large icons
Large Icons</translation>
    </message>
    <message>
        <source>小图标(&amp;M)</source>
        <translation>S&amp;mall Icons</translation>
    </message>
    <message>
        <source>使用小图标显示项
小图标</source>
        <translation>Display items by using small icons
Small Icons</translation>
    </message>
    <message>
        <source>列表(&amp;L)</source>
        <translation>&amp;List</translation>
    </message>
    <message>
        <source>以列表方式显示项
列表</source>
        <translation>Display items in a list
List</translation>
    </message>
    <message>
        <source>详细信息(&amp;D)</source>
        <translation>&amp;Details</translation>
    </message>
    <message>
        <source>显示窗口中每一项的相关信息
详细信息</source>
        <translation>Display information about each item in the window
Details</translation>
    </message>
    <message>
        <source>对齐图标(&amp;I)</source>
        <translation>L&amp;ine Up Icons</translation>
    </message>
    <message>
        <source>以网格方式排列图标</source>
        <translation>Arrange icons in a grid</translation>
    </message>
    <message>
        <source>按名称排序(&amp;N)</source>
        <translation>Sort by &amp;Name</translation>
    </message>
    <message>
        <source>按字母顺序对图标排序</source>
        <translation>Sort the icons alphabetically</translation>
    </message>
    <message>
        <source>关于 Corvane (&amp;A)...</source>
        <translation>&amp;About Corvane...</translation>
    </message>
    <message>
        <source>显示程序信息、版本号和版权信息
关于</source>
        <translation>Display program information, version number and copyright
About</translation>
    </message>
    <message>
        <source>文件(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>编辑(&amp;E)</source>
        <translation>&amp;Edit</translation>
    </message>
    <message>
        <source>视图(&amp;V)</source>
        <translation>&amp;View</translation>
    </message>
    <message>
        <source>帮助(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>当前用户：</source>
        <translation>Current user:</translation>
    </message>
    <message>
        <source>成员映射(&amp;M)...</source>
        <translation>&amp;Member Map...</translation>
    </message>
    <message>
        <source>显示每个槽位由哪个源提供
成员映射</source>
        <translation>Show which source holds each slot
Member map</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CMemberMapDlg</name>
    <message>
        <source>与 %1 带有同一磁盘 id %2，槽位归 %1，本源未使用</source>
        <translation>carries disk id %2 like %1; the slots go to %1 and this source is not used</translation>
    </message>
    <message>
        <source>前 1 KiB 无法读取，本源未使用</source>
        <translation>its first KiB cannot be read; this source is not used</translation>
    </message>
    <message>
        <source>RAID 信息中没有磁盘 id %1 的槽位，本源未使用</source>
        <translation>no slot of the RAID information names disk id %1; this source is not used</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>成员映射</source>
        <translation>Member Map</translation>
    </message>
    <message>
        <source>行 %1</source>
        <translation>Row %1</translation>
    </message>
    <message>
        <source>列 %1</source>
        <translation>Column %1</translation>
    </message>
    <message>
        <source>%1
磁盘 id %2</source>
        <translation>%1
disk id %2</translation>
    </message>
    <message>
        <source>
同一磁盘 id 也由 %1 携带（未使用）</source>
        <translation>
the same disk id is also carried by %1 (not used)</translation>
    </message>
    <message>
        <source>条目为空</source>
        <translation>empty entry</translation>
    </message>
    <message>
        <source>无源带有磁盘 id %1</source>
        <translation>no source carries disk id %1</translation>
    </message>
    <message>
        <source>缺失
%1</source>
        <translation>missing
%1</translation>
    </message>
    <message>
        <source>槽位（%1,%2）缺少成员：%3</source>
        <translation>Slot (%1,%2) has no member: %3</translation>
    </message>
    <message>
        <source>源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>原因</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>每个源都在成员映射中。</source>
        <translation>Every source is in the member map.</translation>
    </message>
    <message>
        <source>未使用的源：</source>
        <translation>Sources not used:</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>分析没有得到成员映射（未找到 RAID 信息）。</source>
        <translation>The analysis gave no member map (no RAID information was found).</translation>
    </message>
    <message>
        <source>
勾选“排除”：本源按缺失处理，下次导出由校验重建它的段</source>
        <translation>
Check &quot;exclude&quot;: this source is treated as missing and the next export rebuilds its segments from parity</translation>
    </message>
    <message>
        <source>红色：缺少成员的槽位&#x3000;黄色：磁盘 id 相同的源所在的槽位，以及未使用的源&#x3000;灰色：已排除的源（勾选“排除”）</source>
        <translation>Red: slots without a member   Yellow: slots of sources with the same disk id, and sources left out   Grey: excluded sources (&quot;exclude&quot; checked)</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CTessalyApp</name>
    <message>
        <source>corvane recovery for hp eva 1.2</source>
        <translation>corvane recovery for hp eva 1.2</translation>
    </message>
    <message>
        <source>无法打开文档 %1。</source>
        <translation>Cannot open the document %1.</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>所有文件 (*.*)</source>
        <translation>All Files (*.*)</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CTessalyDoc</name>
    <message>
        <source>corvane recovery for hp eva</source>
        <translation>corvane recovery for hp eva</translation>
    </message>
    <message>
        <source>另存为</source>
        <translation>Save As</translation>
    </message>
    <message>
        <source>所有文件 (*.*)</source>
        <translation>All Files (*.*)</translation>
    </message>
</context>
<context>
    <name>corvane::ui::CTessalyView</name>
    <message>
        <source>操作LUN</source>
        <translation>LUN Actions</translation>
    </message>
    <message>
        <source>导出到</source>
        <translation>Export To</translation>
    </message>
    <message>
        <source>镜像文件</source>
        <translation>Image File</translation>
    </message>
    <message>
        <source>磁盘设备</source>
        <translation>Disk Device</translation>
    </message>
    <message>
        <source>导出数据配置</source>
        <translation>Export Data Configuration</translation>
    </message>
    <message>
        <source>拒绝 %1：%2</source>
        <translation>Refusing %1: %2</translation>
    </message>
    <message>
        <source>拒绝 %1：设备只有 %2 字节，导出需要 %3 字节（偏移 %4 + LUN %5）</source>
        <translation>Refusing %1: the device holds %2 bytes; the export needs %3 bytes (offset %4 + LUN %5)</translation>
    </message>
    <message>
        <source>即将写入磁盘设备 %1（%2）：
%3
容量：%4（%5 字节）

从扇区 %6 开始写入 LUN（组 %7，id %8）的 %9 数据，该范围内磁盘上原有的数据将被覆盖。

确定要继续吗？</source>
        <translation>About to write to the disk device %1 (%2):
%3
Capacity: %4 (%5 bytes)

The %9 of LUN data (group %7, id %8) will be written from sector %6 on; whatever the disk holds in that range is overwritten.

Do you want to continue?</translation>
    </message>
    <message>
        <source>无法保存损坏映射。</source>
        <translation>The damage map cannot be saved.</translation>
    </message>
    <message>
        <source>%1 已存在且不是映射文件，未覆盖；可另存到别处。</source>
        <translation>%1 exists and is not a mapfile; it was left alone. The map can be saved elsewhere.</translation>
    </message>
    <message>
        <source>正在导出 LUN。是否停止导出并退出？
已写入目标的数据将不完整。</source>
        <translation>A LUN is being exported. Stop the export and quit?
The data written to the target will be incomplete.</translation>
    </message>
    <message>
        <source>LUN 组 %1，id %2</source>
        <translation>LUN group %1, id %2</translation>
    </message>
    <message>
        <source>声明大小：%1 字节（%2）</source>
        <translation>Declared size: %1 bytes (%2)</translation>
    </message>
    <message>
        <source>条带记录：%1 个，覆盖 %2 字节（%3）</source>
        <translation>Stripe records: %1, covering %2 bytes (%3)</translation>
    </message>
    <message>
        <source>条带记录只覆盖声明大小的一部分：导出只含覆盖的部分。</source>
        <translation>The stripe records cover only part of the declared size: an export holds only the covered part.</translation>
    </message>
    <message>
        <source>读取的源（%1 个）：</source>
        <translation>Sources read (%1):</translation>
    </message>
    <message>
        <source>没有成员的槽位（行,列）：%1</source>
        <translation>Slots without a member (row,column): %1</translation>
    </message>
    <message>
        <source>Lun组</source>
        <translation>LUN Group</translation>
    </message>
    <message>
        <source>id</source>
        <translation>id</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>警告（%1 个）：</source>
        <translation>Warnings (%1):</translation>
    </message>
    <message>
        <source>恢复导出</source>
        <translation>Resume export</translation>
    </message>
    <message>
        <source>从映射文件恢复导出...</source>
        <translation>Resume export from a map file...</translation>
    </message>
    <message>
        <source>校验值</source>
        <translation>Hash</translation>
    </message>
    <message>
        <source>不计算</source>
        <translation>None</translation>
    </message>
    <message>
        <source>%1：未计算（只有完成的导出才有）</source>
        <translation>%1: not computed (only a finished export has one)</translation>
    </message>
    <message>
        <source>无法读取映射文件 %1。</source>
        <translation>Cannot read the map file %1.</translation>
    </message>
    <message>
        <source>映射文件 %1 表明这次导出已经完成，没有要继续的部分。</source>
        <translation>The map file %1 says this export is finished; there is nothing to resume.</translation>
    </message>
    <message>
        <source>映射文件 %1 没有记下导出的目标（可能被其他程序改写过），无法继续。</source>
        <translation>The map file %1 does not name the export&apos;s target (another program may have rewritten it); the export cannot be resumed.</translation>
    </message>
    <message>
        <source>继续导出 LUN（组 %1，id %2）到 %3：
映射文件 %4 记下已完成 %5 / %6 字节，从第 %7 字节（条带 %8 / %9）继续。</source>
        <translation>Resume the export of LUN (group %1, id %2) to %3:
the map file %4 marks %5 of %6 bytes done; the export continues at byte %7 (stripe %8 of %9).</translation>
    </message>
    <message>
        <source>

%1 是磁盘设备（%2，%3 字节），从扇区 %4 起的原有数据将被覆盖。</source>
        <translation>

%1 is a disk device (%2, %3 bytes); the data on it from sector %4 on will be overwritten.</translation>
    </message>
    <message>
        <source>

确定要继续吗？</source>
        <translation>

Do you want to continue?</translation>
    </message>
    <message>
        <source>。要从头导出，请用“导出到”。</source>
        <translation>. To export from the start, use &quot;Export To&quot;.</translation>
    </message>
    <message>
        <source>未识别到文件系统</source>
        <translation>no file system recognised</translation>
    </message>
    <message>
        <source>，卷标“%1”</source>
        <translation>, label “%1”</translation>
    </message>
    <message>
        <source>，UUID %1</source>
        <translation>, UUID %1</translation>
    </message>
    <message>
        <source>内容：未识别到任何内容</source>
        <translation>Content: nothing recognised</translation>
    </message>
    <message>
        <source>分区表：%1，%2 个分区</source>
        <translation>Partition table: %1, %2 partitions</translation>
    </message>
    <message>
        <source>  分区 %1：起始 %2 字节，大小 %3，类型 %4：%5</source>
        <translation>  Partition %1: starts at byte %2, size %3, type %4: %5</translation>
    </message>
    <message>
        <source>扩展分区</source>
        <translation>extended partition</translation>
    </message>
    <message>
        <source>整个 LUN 的文件系统：%1</source>
        <translation>File system on the whole LUN: %1</translation>
    </message>
    <message>
        <source>探测读取的 %1 字节中有 %2 字节无法恢复，按零处理</source>
        <translation>Of the %1 bytes the probe read, %2 could not be recovered and were read as zeros</translation>
    </message>
    <message>
        <source>探测时读取失败：%1</source>
        <translation>A read for the probe failed: %1</translation>
    </message>
    <message>
        <source>映射文件 %1 属于另一次导出，不能用来继续这个 LUN（组 %2，id %3）。</source>
        <translation>The map file %1 belongs to another export; it cannot continue this LUN (group %2, id %3).</translation>
    </message>
    <message>
        <source>挂载(只读)</source>
        <translation>Mount read-only</translation>
    </message>
    <message>
        <source>无法挂载到 %1：文件夹不存在。</source>
        <translation>Cannot mount at %1: the folder does not exist.</translation>
    </message>
    <message>
        <source>无法挂载到 %1：文件夹不是空的。请选择一个空文件夹。</source>
        <translation>Cannot mount at %1: the folder is not empty. Choose an empty folder.</translation>
    </message>
    <message>
        <source>找不到 corvane-cli（本程序旁边、../cli/ 和 PATH 中都没有），无法挂载。</source>
        <translation>Cannot mount: corvane-cli was not found (not next to this program, not in ../cli/, not on PATH).</translation>
    </message>
    <message>
        <source>无法启动 %1：%2</source>
        <translation>Cannot start %1: %2</translation>
    </message>
    <message>
        <source>corvane-cli 在 %1 分钟内没有完成挂载，已被终止。
%2</source>
        <translation>corvane-cli did not finish mounting within %1 minutes and was stopped.
%2</translation>
    </message>
    <message>
        <source>挂载失败（corvane-cli 退出码 %1）：
%2</source>
        <translation>Mounting failed (corvane-cli exit status %1):
%2</translation>
    </message>
    <message>
        <source>LUN %1:%2 已只读挂载：
%3

关闭本程序后挂载仍然保留；卸载请运行：
fusermount3 -u %4</source>
        <translation>LUN %1:%2 is mounted read-only:
%3

The mount stays after this program closes; to unmount, run:
fusermount3 -u %4</translation>
    </message>
</context>
</TS>
