<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>scanner::Fmmain</name>
    <message>
        <source>Ping成功: </source>
        <translation>Ping OK: </translation>
    </message>
    <message>
        <source>成功率: </source>
        <translation>Success rate: </translation>
    </message>
    <message>
        <source>备注:</source>
        <translation>Remark:</translation>
    </message>
    <message>
        <source>局域网Varnex工具</source>
        <translation>Varnex LAN Tool</translation>
    </message>
    <message>
        <source>网段</source>
        <translation>Net</translation>
    </message>
    <message>
        <source>次数</source>
        <translation>Runs</translation>
    </message>
    <message>
        <source>获取mac</source>
        <translation>MAC</translation>
    </message>
    <message>
        <source>持续ping</source>
        <translation>Ping loop</translation>
    </message>
    <message>
        <source>关于Varnex</source>
        <translation>About</translation>
    </message>
    <message>
        <source>连线</source>
        <translation>On</translation>
    </message>
    <message>
        <source>断线</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>无法启动工作进程 Morvel:
</source>
        <translation>Cannot start the worker host Morvel:
</translation>
    </message>
    <message>
        <source>

程序将退出。</source>
        <translation>

The program will quit.</translation>
    </message>
    <message>
        <source>无法在工作进程 Morvel 中创建对象:
主机 </source>
        <translation>Cannot create the objects in the worker host Morvel:
host </translation>
    </message>
    <message>
        <source> /regsver 注册失败, 退出码 </source>
        <translation> /regsver failed to register, exit code </translation>
    </message>
    <message>
        <source> /regsver 未在时限内结束)</source>
        <translation> /regsver did not finish in time)</translation>
    </message>
    <message>
        <source>主机 </source>
        <translation>host </translation>
    </message>
    <message>
        <source>无法重新启动工作进程 Morvel, 扫描未开始:
</source>
        <translation>Cannot restart the worker host Morvel; the sweep did not start:
</translation>
    </message>
    <message>
        <source>与工作进程 Morvel 的连接已中断, 扫描已停止:
</source>
        <translation>The connection to the worker host Morvel was lost; the sweep stopped:
</translation>
    </message>
    <message>
        <source>

下次扫描时会重新启动 Morvel。</source>
        <translation>

The next sweep starts Morvel again.</translation>
    </message>
    <message>
        <source>请输入要修改的备注:</source>
        <translation>Enter the new remark:</translation>
    </message>
    <message>
        <source>备注</source>
        <translation>Remark</translation>
    </message>
    <message>
        <source>备注未能保存到文件:
</source>
        <translation>The remark could not be saved to the file:
</translation>
    </message>
    <message>
        <source>
备注只在本窗口中修改了。</source>
        <translation>
It changed in this window only.</translation>
    </message>
    <message>
        <source>扫描结果未能记录, 之后显示的变化可能不准确:
</source>
        <translation>The sweep could not be recorded; the changes shown later may be wrong:
</translation>
    </message>
    <message>
        <source>厂商: </source>
        <translation>Vendor: </translation>
    </message>
    <message>
        <source>只应答了ARP, 没有应答ping</source>
        <translation>Answered ARP only, not ping</translation>
    </message>
    <message>
        <source>与上次扫描相比: </source>
        <translation>Since the last sweep: </translation>
    </message>
    <message>
        <source>最后在线: </source>
        <translation>Last seen: </translation>
    </message>
    <message>
        <source>角标:</source>
        <translation>Corner marks:</translation>
    </message>
    <message>
        <source>只应答了ARP</source>
        <translation>ARP only</translation>
    </message>
    <message>
        <source>复制地址</source>
        <translation>Copy address</translation>
    </message>
    <message>
        <source>复制MAC</source>
        <translation>Copy MAC</translation>
    </message>
    <message>
        <source>修改备注...</source>
        <translation>Edit remark...</translation>
    </message>
    <message>
        <source>唤醒 (Wake-on-LAN)</source>
        <translation>Wake (Wake-on-LAN)</translation>
    </message>
    <message>
        <source>主机表</source>
        <translation>Host table</translation>
    </message>
    <message>
        <source>在网格上显示变化</source>
        <translation>Show changes on the grid</translation>
    </message>
    <message>
        <source>唤醒包未能发出 (</source>
        <translation>The wake-up packet was not sent (</translation>
    </message>
    <message>
        <source>
这台计算机没有连到该网段的网络接口。</source>
        <translation>
No network interface of this computer reaches that subnet.</translation>
    </message>
    <message>
        <source>
系统或防火墙拒绝了广播。</source>
        <translation>
The system or a firewall refused the broadcast.</translation>
    </message>
    <message>
        <source>唤醒包已发出: </source>
        <translation>Wake-up packet sent: </translation>
    </message>
</context>
<context>
    <name>windows::FmPing1</name>
    <message>
        <source>持续ping</source>
        <translation>Continuous ping</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>结束</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>: 成功</source>
        <translation>: OK</translation>
    </message>
    <message>
        <source>: 失败:Error</source>
        <translation>: failed: Error</translation>
    </message>
    <message>
        <source>: 失败</source>
        <translation>: failed: </translation>
    </message>
</context>
<context>
    <name>windows::Fmshow</name>
    <message>
        <source>关于Varnex</source>
        <translation>About Varnex</translation>
    </message>
    <message>
        <source>好啊</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>局域网Varnex工具</source>
        <translation>Varnex LAN Tool</translation>
    </message>
    <message>
        <source>版本 1.3</source>
        <translation>Version 1.3</translation>
    </message>
    <message>
        <source>电子邮件</source>
        <translation>E-mail</translation>
    </message>
    <message>
        <source>Varnex 项目组
问题与建议请提交到项目的问题列表</source>
        <translation>The Varnex team
Send problems and ideas to its issue list</translation>
    </message>
</context>
<context>
    <name>windows::HostTable</name>
    <message>
        <source>主机表</source>
        <translation>Host table</translation>
    </message>
    <message>
        <source>筛选 (任意列)</source>
        <translation>Filter (any column)</translation>
    </message>
    <message>
        <source>只显示在线主机</source>
        <translation>Only hosts seen</translation>
    </message>
    <message>
        <source>复制所选行</source>
        <translation>Copy rows</translation>
    </message>
    <message>
        <source>导出CSV...</source>
        <translation>Export CSV...</translation>
    </message>
    <message>
        <source>导出JSON...</source>
        <translation>Export JSON...</translation>
    </message>
    <message>
        <source>导出主机表</source>
        <translation>Export the host table</translation>
    </message>
    <message>
        <source>显示 %1 台主机, 共 %2 台</source>
        <translation>%1 of %2 hosts shown</translation>
    </message>
    <message>
        <source>无法写入文件:
</source>
        <translation>Cannot write the file:
</translation>
    </message>
</context>
<context>
    <name>windows::HostTableModel</name>
    <message>
        <source>仅ARP</source>
        <translation>ARP only</translation>
    </message>
    <message>
        <source>Ping</source>
        <translation>echo</translation>
    </message>
    <message>
        <source>无</source>
        <translation>none</translation>
    </message>
    <message>
        <source>新设备</source>
        <translation>new device</translation>
    </message>
    <message>
        <source>换了地址</source>
        <translation>moved</translation>
    </message>
    <message>
        <source>换了MAC</source>
        <translation>MAC changed</translation>
    </message>
    <message>
        <source>上线</source>
        <translation>up</translation>
    </message>
    <message>
        <source>下线</source>
        <translation>down</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>厂商</source>
        <translation>Vendor</translation>
    </message>
    <message>
        <source>发现方式</source>
        <translation>Seen</translation>
    </message>
    <message>
        <source>应答/轮次</source>
        <translation>Answered</translation>
    </message>
    <message>
        <source>成功率</source>
        <translation>Share</translation>
    </message>
    <message>
        <source>变化</source>
        <translation>Change</translation>
    </message>
    <message>
        <source>最后在线</source>
        <translation>Last seen</translation>
    </message>
    <message>
        <source>备注</source>
        <translation>Remark</translation>
    </message>
</context>
</TS>
