<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en">
    <context>
        <name>StringTable</name>
        <message>
            <source>Velor RQ4820Ardentixs(&amp;A)...</source>
            <comment>101</comment>
            <translation>关于 Velor RQ4820Ardentixs(&amp;A)...</translation>
        </message>
        <message>
            <source>Burned data:</source>
            <comment>105</comment>
            <translation>烧录数据：</translation>
        </message>
        <message>
            <source>Open</source>
            <comment>106</comment>
            <translation>打开</translation>
        </message>
        <message>
            <source>Burned type</source>
            <comment>107</comment>
            <translation>烧录类型</translation>
        </message>
        <message>
            <source>Serial number:</source>
            <comment>108</comment>
            <translation>序列号：</translation>
        </message>
        <message>
            <source>accumulated value:</source>
            <comment>109</comment>
            <translation>累加值：</translation>
        </message>
        <message>
            <source>Burn OK:</source>
            <comment>110</comment>
            <translation>烧录成功：</translation>
        </message>
        <message>
            <source>Burn fail:</source>
            <comment>111</comment>
            <translation>烧录失败：</translation>
        </message>
        <message>
            <source>Export</source>
            <comment>112</comment>
            <translation>导出</translation>
        </message>
        <message>
            <source>System sound</source>
            <comment>113</comment>
            <translation>系统声音</translation>
        </message>
        <message>
            <source>configuration</source>
            <comment>114</comment>
            <translation>配置</translation>
        </message>
        <message>
            <source>Start</source>
            <comment>115</comment>
            <translation>开始</translation>
        </message>
        <message>
            <source>Stop</source>
            <comment>116</comment>
            <translation>停止</translation>
        </message>
        <message>
            <source>Exit</source>
            <comment>117</comment>
            <translation>退出</translation>
        </message>
        <message>
            <source>The device is ready....</source>
            <comment>118</comment>
            <translation>设备已就绪....</translation>
        </message>
        <message>
            <source>Lock fail!</source>
            <comment>119</comment>
            <translation>锁定失败！</translation>
        </message>
        <message>
            <source>Please select the Img file.</source>
            <comment>121</comment>
            <translation>请选择 Img 文件。</translation>
        </message>
        <message>
            <source>pls select vlr file.</source>
            <comment>122</comment>
            <translation>请选择 vlr 文件。</translation>
        </message>
        <message>
            <source>No device found</source>
            <comment>123</comment>
            <translation>未找到设备</translation>
        </message>
        <message>
            <source>Fail! Please remove the device.</source>
            <comment>124</comment>
            <translation>失败！请拔出设备。</translation>
        </message>
        <message>
            <source>Success!</source>
            <comment>125</comment>
            <translation>成功！</translation>
        </message>
        <message>
            <source>Fail!</source>
            <comment>126</comment>
            <translation>失败！</translation>
        </message>
        <message>
            <source>Erase flash...</source>
            <comment>127</comment>
            <translation>正在擦除闪存...</translation>
        </message>
        <message>
            <source>Erase SD card OK!</source>
            <comment>128</comment>
            <translation>SD 卡擦除完成！</translation>
        </message>
        <message>
            <source>Fail to erase SPI Flash!</source>
            <comment>129</comment>
            <translation>SPI 闪存擦除失败！</translation>
        </message>
        <message>
            <source>Data is being downloaded to SD card.</source>
            <comment>130</comment>
            <translation>正在向 SD 卡写入数据。</translation>
        </message>
        <message>
            <source>Verifying the data in SD card!</source>
            <comment>131</comment>
            <translation>正在校验 SD 卡中的数据！</translation>
        </message>
        <message>
            <source>Data download ok to SD card</source>
            <comment>132</comment>
            <translation>数据已写入 SD 卡</translation>
        </message>
        <message>
            <source>Fail to download data to SD card.</source>
            <comment>133</comment>
            <translation>向 SD 卡写入数据失败。</translation>
        </message>
        <message>
            <source>Fail to verify data in SD card.</source>
            <comment>134</comment>
            <translation>SD 卡数据校验失败。</translation>
        </message>
        <message>
            <source>Data is being downloaded to Flash.</source>
            <comment>135</comment>
            <translation>正在向闪存写入数据。</translation>
        </message>
        <message>
            <source>Verifying the data in FLASH.</source>
            <comment>136</comment>
            <translation>正在校验闪存中的数据。</translation>
        </message>
        <message>
            <source>Fail to download data FLASH.</source>
            <comment>137</comment>
            <translation>向闪存写入数据失败。</translation>
        </message>
        <message>
            <source>Fail to verify data FLASH.</source>
            <comment>138</comment>
            <translation>闪存数据校验失败。</translation>
        </message>
        <message>
            <source>Lock device</source>
            <comment>139</comment>
            <translation>锁定设备</translation>
        </message>
        <message>
            <source>Lock fail</source>
            <comment>140</comment>
            <translation>锁定失败</translation>
        </message>
        <message>
            <source>Unlock fail</source>
            <comment>141</comment>
            <translation>解锁失败</translation>
        </message>
        <message>
            <source>fail to load Img file</source>
            <comment>142</comment>
            <translation>无法加载 Img 文件</translation>
        </message>
        <message>
            <source>Fail to load vlr file</source>
            <comment>143</comment>
            <translation>无法加载 vlr 文件</translation>
        </message>
        <message>
            <source>Download OK</source>
            <comment>144</comment>
            <translation>下载完成</translation>
        </message>
        <message>
            <source>SD card size error!</source>
            <comment>145</comment>
            <translation>SD 卡容量错误！</translation>
        </message>
        <message>
            <source>Display external info!</source>
            <comment>1032</comment>
            <translation>显示扩展信息！</translation>
        </message>
        <message>
            <source>Create SD card img</source>
            <comment>1033</comment>
            <translation>生成 SD 卡镜像</translation>
        </message>
        <message>
            <source>Driver:</source>
            <comment>1034</comment>
            <translation>驱动器：</translation>
        </message>
        <message>
            <source>Step1:format SD card</source>
            <comment>1035</comment>
            <translation>第一步：格式化 SD 卡</translation>
        </message>
        <message>
            <source>Step2:copy data to SD card</source>
            <comment>1036</comment>
            <translation>第二步：复制数据到 SD 卡</translation>
        </message>
        <message>
            <source>Step3:generate img file.</source>
            <comment>1037</comment>
            <translation>第三步：生成镜像文件。</translation>
        </message>
        <message>
            <source>Format</source>
            <comment>1038</comment>
            <translation>格式化</translation>
        </message>
        <message>
            <source>Generate img file</source>
            <comment>1039</comment>
            <translation>生成镜像文件</translation>
        </message>
        <message>
            <source>VID&amp;&amp;PID</source>
            <comment>1040</comment>
            <translation>VID&amp;&amp;PID</translation>
        </message>
        <message>
            <source>Img file:</source>
            <comment>1041</comment>
            <translation>Img 文件：</translation>
        </message>
        <message>
            <source>SPI list</source>
            <comment>1042</comment>
            <translation>SPI 列表</translation>
        </message>
        <message>
            <source>SPI type error</source>
            <comment>1044</comment>
            <translation>SPI 型号错误</translation>
        </message>
        <message>
            <source>Data size is too big!</source>
            <comment>1045</comment>
            <translation>数据太大！</translation>
        </message>
        <message>
            <source>---</source>
            <comment>1046</comment>
            <translation>---</translation>
        </message>
        <message>
            <source>Img file: use the Img tool to generate this file
vlr file: vlr format file RQ4820 downloaded file
remark:after downloading ok,pls wait for the U disc reloading and then disconnect the USB.</source>
            <comment>1047</comment>
            <translation>Img 文件：用 Img 工具生成此文件
vlr 文件：RQ4820 下载用的 vlr 格式文件
备注：下载完成后，请等待 U 盘重新加载，然后再拔出 USB。</translation>
        </message>
        <message>
            <source>Release notes
Burns the SD card image and the SPI flash of up to eight devices at once, keeping each device's serial number.
V4.1.0 support 61730</source>
            <comment>1048</comment>
            <translation>版本说明
同时为最多八台设备烧录 SD 卡镜像和 SPI 闪存，并保留每台设备的序列号。
V4.1.0 support 61730</translation>
        </message>
        <message>
            <source>Read FlashId</source>
            <comment>1049</comment>
            <translation>读取 FlashId</translation>
        </message>
        <message>
            <source>

 press&quot;Comfirm&quot;Auto Add A New SPI ID, Press&quot;cancel&quot;exit. 
otice:Atuo Add only add SPI ID, other info(type size remark ets)need Add manual,.
 if it is error ,connect Velor.</source>
            <comment>1051</comment>
            <translation>

 按“确定”自动添加新的 SPI ID，按“取消”退出。
注意：自动添加只添加 SPI ID，其他信息（型号、容量、备注等）需要手动填写。
 如有错误，请联系 Velor。</translation>
        </message>
        <message>
            <source>Plz select img file burn to sd2.</source>
            <comment>1052</comment>
            <translation>请选择要烧录到 SD2 的 img 文件。</translation>
        </message>
        <message>
            <source>Img File2:</source>
            <comment>1053</comment>
            <translation>Img 文件2：</translation>
        </message>
        <message>
            <source>SD1 Img File Burn</source>
            <comment>1054</comment>
            <translation>烧录 SD1 Img 文件</translation>
        </message>
        <message>
            <source>SD2 Img File Burn</source>
            <comment>1055</comment>
            <translation>烧录 SD2 Img 文件</translation>
        </message>
        <message>
            <source>SPI File Burn</source>
            <comment>1056</comment>
            <translation>烧录 SPI 文件</translation>
        </message>
        <message>
            <source>SPI Speed is less than 48M, fail</source>
            <comment>1057</comment>
            <translation>SPI 速度低于 48M，失败</translation>
        </message>
        <message>
            <source>Device not responding</source>
            <comment>1058</comment>
            <translation>设备无响应</translation>
        </message>
        <message>
            <source>Lock fail! Drive(s): %s</source>
            <comment>1059</comment>
            <translation>锁定失败！驱动器：%s</translation>
        </message>
        <message>
            <source>Another unit than the one identified: not burned, identified anew</source>
            <comment>1070</comment>
            <translation>不是识别时的那台设备：未烧录，已重新识别</translation>
        </message>
        <message>
            <source>The drive's logical unit cannot be read: not burned</source>
            <comment>1071</comment>
            <translation>无法读取该驱动器的逻辑单元：未烧录</translation>
        </message>
        <message>
            <source>SpiList.ini cannot be read (%1): no SPI flash chip can be checked, so nothing is burned.</source>
            <comment>1072</comment>
            <translation>无法读取 SpiList.ini（%1）：无法核对 SPI 闪存芯片，因此不烧录任何设备。</translation>
        </message>
        <message>
            <source>SpiList.ini lists no SPI flash chip: nothing is burned. Add the chips to the SPI list first.</source>
            <comment>1073</comment>
            <translation>SpiList.ini 中没有任何 SPI 闪存芯片：不烧录任何设备。请先在 SPI 列表中添加芯片。</translation>
        </message>
        <message>
            <source>No.</source>
            <comment>3001</comment>
            <translation>序号</translation>
        </message>
        <message>
            <source>Drive(Lun)</source>
            <comment>3002</comment>
            <translation>驱动器(Lun)</translation>
        </message>
        <message>
            <source>Status</source>
            <comment>3003</comment>
            <translation>状态</translation>
        </message>
        <message>
            <source>Result</source>
            <comment>3004</comment>
            <translation>结果</translation>
        </message>
        <message>
            <source>?</source>
            <comment>3005</comment>
            <translation>?</translation>
        </message>
        <message>
            <source>R</source>
            <comment>3006</comment>
            <translation>R</translation>
        </message>
        <message>
            <source>SD</source>
            <comment>3007</comment>
            <translation>SD</translation>
        </message>
        <message>
            <source>SPI Flash</source>
            <comment>3008</comment>
            <translation>SPI 闪存</translation>
        </message>
        <message>
            <source>SD + SPI Flash</source>
            <comment>3009</comment>
            <translation>SD + SPI 闪存</translation>
        </message>
        <message>
            <source> VID/PID Setup 1 </source>
            <comment>3010</comment>
            <translation> VID/PID 设置 1 </translation>
        </message>
        <message>
            <source> VID/PID Setup 2 </source>
            <comment>3011</comment>
            <translation> VID/PID 设置 2 </translation>
        </message>
        <message>
            <source>VID : 0x</source>
            <comment>3012</comment>
            <translation>VID : 0x</translation>
        </message>
        <message>
            <source>PID : 0x</source>
            <comment>3013</comment>
            <translation>PID : 0x</translation>
        </message>
        <message>
            <source>&amp;Help</source>
            <comment>3014</comment>
            <translation>帮助(&amp;H)</translation>
        </message>
        <message>
            <source>A burn is running. Closing now waits until every device being burned has finished.
Close the window?</source>
            <comment>3015</comment>
            <translation>正在烧录。现在关闭将等待所有正在烧录的设备完成。
要关闭窗口吗？</translation>
        </message>
        <message>
            <source>Waiting for the running burns to end……</source>
            <comment>3016</comment>
            <translation>正在等待烧录结束……</translation>
        </message>
        <message>
            <source>The SPI list cannot be changed while a burn runs.</source>
            <comment>3017</comment>
            <translation>烧录进行中，不能修改 SPI 列表。</translation>
        </message>
        <message>
            <source>OK</source>
            <comment>3018</comment>
            <translation>确定</translation>
        </message>
        <message>
            <source>Cancel</source>
            <comment>3019</comment>
            <translation>取消</translation>
        </message>
        <message>
            <source>No</source>
            <comment>3020</comment>
            <translation>序号</translation>
        </message>
        <message>
            <source>SPI Type</source>
            <comment>3021</comment>
            <translation>SPI 型号</translation>
        </message>
        <message>
            <source>ID</source>
            <comment>3022</comment>
            <translation>ID</translation>
        </message>
        <message>
            <source>Len(KBytes)</source>
            <comment>3023</comment>
            <translation>容量(KB)</translation>
        </message>
        <message>
            <source>Freq(MHz)</source>
            <comment>3024</comment>
            <translation>频率(MHz)</translation>
        </message>
        <message>
            <source>Remark</source>
            <comment>3025</comment>
            <translation>备注</translation>
        </message>
        <message>
            <source>Add</source>
            <comment>3026</comment>
            <translation>添加</translation>
        </message>
        <message>
            <source>Del</source>
            <comment>3027</comment>
            <translation>删除</translation>
        </message>
        <message>
            <source>AutoAdd</source>
            <comment>3028</comment>
            <translation>自动添加</translation>
        </message>
        <message>
            <source>Training: simulated devices</source>
            <comment>3040</comment>
            <translation>培训：模拟设备</translation>
        </message>
        <message>
            <source>Plug</source>
            <comment>3041</comment>
            <translation>插入</translation>
        </message>
        <message>
            <source>Unplug</source>
            <comment>3042</comment>
            <translation>拔出</translation>
        </message>
        <message>
            <source>Fault in the device's next burn:</source>
            <comment>3043</comment>
            <translation>设备下次烧录时的故障：</translation>
        </message>
        <message>
            <source>Add fault</source>
            <comment>3044</comment>
            <translation>添加故障</translation>
        </message>
        <message>
            <source>plugged</source>
            <comment>3045</comment>
            <translation>已插入</translation>
        </message>
        <message>
            <source>unplugged</source>
            <comment>3046</comment>
            <translation>已拔出</translation>
        </message>
        <message>
            <source>Lock test fails</source>
            <comment>3047</comment>
            <translation>锁定测试失败</translation>
        </message>
        <message>
            <source>Volume lock fails</source>
            <comment>3048</comment>
            <translation>卷锁定失败</translation>
        </message>
        <message>
            <source>Device does not open</source>
            <comment>3049</comment>
            <translation>设备无法打开</translation>
        </message>
        <message>
            <source>SD write fails</source>
            <comment>3050</comment>
            <translation>SD 写入失败</translation>
        </message>
        <message>
            <source>SD read-back differs</source>
            <comment>3051</comment>
            <translation>SD 回读不一致</translation>
        </message>
        <message>
            <source>Flash erase stays busy</source>
            <comment>3052</comment>
            <translation>闪存擦除一直忙</translation>
        </message>
        <message>
            <source>Flash write fails</source>
            <comment>3053</comment>
            <translation>闪存写入失败</translation>
        </message>
        <message>
            <source>Flash read-back differs</source>
            <comment>3054</comment>
            <translation>闪存回读不一致</translation>
        </message>
        <message>
            <source>Device pulled out while writing</source>
            <comment>3055</comment>
            <translation>写入时设备被拔出</translation>
        </message>
        <message>
            <source>Device stops answering while writing</source>
            <comment>3056</comment>
            <translation>写入时设备停止响应</translation>
        </message>
        <message>
            <source>This run: passed %1, failed %2, running %3</source>
            <comment>3060</comment>
            <translation>本批：成功 %1，失败 %2，进行中 %3</translation>
        </message>
        <message>
            <source>Yield of the day: %1 (%2 of %3)</source>
            <comment>3061</comment>
            <translation>今日良率：%1（%3 台中 %2 台成功）</translation>
        </message>
        <message>
            <source>Yield of the day: no device yet</source>
            <comment>3062</comment>
            <translation>今日良率：尚无设备</translation>
        </message>
        <message>
            <source>batch finished: swap the devices</source>
            <comment>3063</comment>
            <translation>本批完成：请更换设备</translation>
        </message>
        <message>
            <source>burning…</source>
            <comment>3064</comment>
            <translation>正在烧录…</translation>
        </message>
        <message>
            <source>Sound at the batch's end</source>
            <comment>3065</comment>
            <translation>本批完成时发出提示音</translation>
        </message>
        <message>
            <source>These files chosen last time are gone and were not chosen again:</source>
            <comment>3066</comment>
            <translation>上次选择的以下文件已不存在，未再选择：</translation>
        </message>
        <message>
            <source>%1 - duplicate serial</source>
            <comment>3070</comment>
            <translation>%1 - 序列号重复</translation>
        </message>
        <message>
            <source>History...</source>
            <comment>3071</comment>
            <translation>历史记录...</translation>
        </message>
        <message>
            <source>Production records</source>
            <comment>3072</comment>
            <translation>生产记录</translation>
        </message>
        <message>
            <source>Serial:</source>
            <comment>3073</comment>
            <translation>序列号：</translation>
        </message>
        <message>
            <source>Outcome:</source>
            <comment>3074</comment>
            <translation>结果：</translation>
        </message>
        <message>
            <source>All</source>
            <comment>3075</comment>
            <translation>全部</translation>
        </message>
        <message>
            <source>passed</source>
            <comment>3076</comment>
            <translation>通过</translation>
        </message>
        <message>
            <source>failed</source>
            <comment>3077</comment>
            <translation>失败</translation>
        </message>
        <message>
            <source>From (UTC):</source>
            <comment>3078</comment>
            <translation>从 (UTC)：</translation>
        </message>
        <message>
            <source>To (UTC):</source>
            <comment>3079</comment>
            <translation>到 (UTC)：</translation>
        </message>
        <message>
            <source>Export CSV...</source>
            <comment>3080</comment>
            <translation>导出 CSV...</translation>
        </message>
        <message>
            <source>%1 record(s)</source>
            <comment>3081</comment>
            <translation>%1 条记录</translation>
        </message>
        <message>
            <source>Records: yield %1 (%2 of %3), duplicate serials: %4</source>
            <comment>3082</comment>
            <translation>记录：良率 %1（%3 个中 %2 个），重复序列号：%4</translation>
        </message>
        <message>
            <source>Records: none yet</source>
            <comment>3083</comment>
            <translation>记录：暂无</translation>
        </message>
        <message>
            <source>%1 record(s) wait to be written</source>
            <comment>3084</comment>
            <translation>%1 条记录等待写入</translation>
        </message>
        <message>
            <source>The production records cannot be read: %1</source>
            <comment>3085</comment>
            <translation>无法读取生产记录：%1</translation>
        </message>
        <message>
            <source>Not a time: %1 (write 2026-12-10 or 2026-12-10T14:30)</source>
            <comment>3086</comment>
            <translation>不是时间：%1（请写 2026-12-10 或 2026-12-10T14:30）</translation>
        </message>
        <message>
            <source>Started (UTC)</source>
            <comment>3087</comment>
            <translation>开始时间 (UTC)</translation>
        </message>
        <message>
            <source>Station</source>
            <comment>3088</comment>
            <translation>工站</translation>
        </message>
        <message>
            <source>Drive</source>
            <comment>3089</comment>
            <translation>盘符</translation>
        </message>
        <message>
            <source>Serial</source>
            <comment>3090</comment>
            <translation>序列号</translation>
        </message>
        <message>
            <source>Outcome</source>
            <comment>3091</comment>
            <translation>结果</translation>
        </message>
        <message>
            <source>Result</source>
            <comment>3092</comment>
            <translation>结果说明</translation>
        </message>
        <message>
            <source>Chip</source>
            <comment>3093</comment>
            <translation>芯片</translation>
        </message>
        <message>
            <source>Package</source>
            <comment>3094</comment>
            <translation>烧录包</translation>
        </message>
        <message>
            <source>Seconds</source>
            <comment>3095</comment>
            <translation>秒</translation>
        </message>
        <message>
            <source>duplicate serial</source>
            <comment>3096</comment>
            <translation>序列号重复</translation>
        </message>
        <message>
            <source>The production records cannot be written: %1
Records are kept and written again at the end of each run.</source>
            <comment>3097</comment>
            <translation>无法写入生产记录：%1
记录会保留，并在每次运行结束时重新写入。</translation>
        </message>
        <message>
            <source>The production records of %1 device(s) could not be written to %2: %3
They are kept and written again with the next record and at the end of the next run.</source>
            <comment>3098</comment>
            <translation>%1 个设备的生产记录无法写入 %2：%3
记录会保留，并在写入下一条记录和下次运行结束时重新写入。</translation>
        </message>
        <message>
            <source>The records were exported to %1.</source>
            <comment>3099</comment>
            <translation>记录已导出到 %1。</translation>
        </message>
        <message>
            <source>The records are not sent to the line's database %1: %2</source>
            <comment>3100</comment>
            <translation>记录未发送到产线数据库 %1：%2</translation>
        </message>
        <message>
            <source>%1 holds the line database's password and other users of this computer can read it. Let only its owner read it (chmod 600), or keep the password in the password file (~/.pgpass) instead.</source>
            <comment>3101</comment>
            <translation>%1 含有产线数据库的密码，且本机其他用户可以读取该文件。请只允许其所有者读取（chmod 600），或改为将密码保存在密码文件（~/.pgpass）中。</translation>
        </message>
        <message>
            <source>The SD image %1 cannot be burned: %2
No device was written.</source>
            <comment>3120</comment>
            <translation>SD 镜像 %1 无法烧录：%2
未写入任何设备。</translation>
        </message>
        <message>
            <source>the file is damaged or cut short (%1)</source>
            <comment>3121</comment>
            <translation>文件已损坏或不完整（%1）</translation>
        </message>
        <message>
            <source>the zip file holds %1 files; it must hold exactly one image</source>
            <comment>3122</comment>
            <translation>zip 文件包含 %1 个文件；必须只包含一个镜像</translation>
        </message>
        <message>
            <source>the zip file is encrypted</source>
            <comment>3123</comment>
            <translation>zip 文件已加密</translation>
        </message>
        <message>
            <source>the image (%1 bytes) is larger than the card of drive %2 (%3 bytes)</source>
            <comment>3124</comment>
            <translation>镜像（%1 字节）大于驱动器 %2 的卡（%3 字节）</translation>
        </message>
        <message>
            <source>it does not match its checksum file %1</source>
            <comment>3125</comment>
            <translation>与其校验文件 %1 不符</translation>
        </message>
        <message>
            <source>its block map %1 cannot be used: %2</source>
            <comment>3126</comment>
            <translation>其块映射 %1 无法使用：%2</translation>
        </message>
        <message>
            <source>range %1 of the block map does not match the image</source>
            <comment>3127</comment>
            <translation>块映射的第 %1 个范围与镜像不符</translation>
        </message>
        <message>
            <source>decoding needs up to %1 MB in %2, which has %3 MB free</source>
            <comment>3128</comment>
            <translation>解压最多需要 %2 中的 %1 MB，可用空间为 %3 MB</translation>
        </message>
        <message>
            <source>this build cannot read compressed images</source>
            <comment>3129</comment>
            <translation>此版本无法读取压缩镜像</translation>
        </message>
        <message>
            <source>the block map is for an image of %1 bytes, the image has %2</source>
            <comment>3130</comment>
            <translation>块映射对应 %1 字节的镜像，而镜像为 %2 字节</translation>
        </message>
        <message>
            <source>Preparing SD image</source>
            <comment>3131</comment>
            <translation>正在准备 SD 镜像</translation>
        </message>
        <message>
            <source>the file cannot be read (%1)</source>
            <comment>3132</comment>
            <translation>无法读取文件（%1）</translation>
        </message>
        <message>
            <source>%1, %2 MB</source>
            <comment>3133</comment>
            <translation>%1，%2 MB</translation>
        </message>
        <message>
            <source>block map %1: %2 % of %3 MB mapped</source>
            <comment>3134</comment>
            <translation>块映射 %1：已映射 %3 MB 中的 %2 %</translation>
        </message>
        <message>
            <source>decoded into %1 before the first device (%2 MB free there)</source>
            <comment>3135</comment>
            <translation>在写入第一个设备前解压到 %1（该处可用 %2 MB）</translation>
        </message>
        <message>
            <source>its checksum file %1 names no hash for it</source>
            <comment>3136</comment>
            <translation>其校验文件 %1 中没有它的哈希值</translation>
        </message>
        <message>
            <source>the block map file's own checksum does not match</source>
            <comment>3137</comment>
            <translation>块映射文件自身的校验和不符</translation>
        </message>
        <message>
            <source>Continuous</source>
            <comment>3300</comment>
            <translation>连续</translation>
        </message>
        <message>
            <source>line running: %1</source>
            <comment>3301</comment>
            <translation>连续生产中：%1</translation>
        </message>
        <message>
            <source>line stopping: %1 still burning</source>
            <comment>3302</comment>
            <translation>正在停止：仍有 %1 个在烧录</translation>
        </message>
        <message>
            <source>Units per hour: %1</source>
            <comment>3303</comment>
            <translation>每小时产量：%1</translation>
        </message>
        <message>
            <source>burning</source>
            <comment>3304</comment>
            <translation>烧录中</translation>
        </message>
        <message>
            <source>done - swap me</source>
            <comment>3305</comment>
            <translation>完成 - 请更换</translation>
        </message>
        <message>
            <source>failed - swap me</source>
            <comment>3306</comment>
            <translation>失败 - 请更换</translation>
        </message>
        <message>
            <source>empty</source>
            <comment>3307</comment>
            <translation>空</translation>
        </message>
        <message>
            <source>waiting</source>
            <comment>3308</comment>
            <translation>等待中</translation>
        </message>
        <message>
            <source>line running: plug in the devices</source>
            <comment>3309</comment>
            <translation>连续生产中：请插入设备</translation>
        </message>
    </context>
    <context>
        <name>Texts</name>
        <message>
            <source>Fail to open file</source>
            <translation>无法打开文件</translation>
        </message>
        <message>
            <source>vlr file format error</source>
            <translation>vlr 文件格式错误</translation>
        </message>
        <message>
            <source>replace ok</source>
            <translation>替换成功</translation>
        </message>
        <message>
            <source>Importing,pls wait……</source>
            <translation>正在导入，请稍候……</translation>
        </message>
        <message>
            <source>Exporting,pls wait……</source>
            <translation>正在导出，请稍候……</translation>
        </message>
        <message>
            <source>關於 RQ4820 Ardentix</source>
            <translation>关于 RQ4820 Ardentix</translation>
        </message>
        <message>
            <source>RQ4820 Ardentix Version 3.0</source>
            <translation>RQ4820 Ardentix 版本 3.0</translation>
        </message>
        <message>
            <source>没有连接有效设备!</source>
            <translation>没有连接有效设备!</translation>
        </message>
        <message>
            <source>no new SPI FLASH to add!</source>
            <translation>没有要添加的新 SPI 闪存！</translation>
        </message>
        <message>
            <source>new Add %d SPI Flash, plz modify the size and type and remark</source>
            <translation>新添加了 %d 个 SPI 闪存，请修改容量、型号和备注</translation>
        </message>
        <message>
            <source>Create Image File Fail !!</source>
            <translation>创建镜像文件失败！！</translation>
        </message>
        <message>
            <source>A burn is running: the card is not formatted.</source>
            <translation>正在烧录：未格式化该卡。</translation>
        </message>
        <message>
            <source>Open Device Fail !!</source>
            <translation>打开设备失败！！</translation>
        </message>
        <message>
            <source>Read Data from SD Fail !!</source>
            <translation>从 SD 卡读取数据失败！！</translation>
        </message>
        <message>
            <source>Write Image File Fail !!</source>
            <translation>写入镜像文件失败！！</translation>
        </message>
        <message>
            <source>Create Image Cancelled !!</source>
            <translation>已取消创建镜像！！</translation>
        </message>
        <message>
            <source>Create Image Success !!</source>
            <translation>创建镜像成功！！</translation>
        </message>
    </context>
</TS>
